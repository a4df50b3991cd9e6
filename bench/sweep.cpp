#include "sweep.h"

std::atomic<unsigned char> data[size];
