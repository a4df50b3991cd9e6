#include "sweep.h"

#include <random>

std::atomic<unsigned char> data[size];

std::vector<char> pattern(int read, int me) {
  std::vector<char> roles(pattern_size, 0);
  std::fill_n(roles.begin(), pattern_size / 100 * read, 1);
  std::mt19937 seed(me + 1);
  std::shuffle(roles.begin(), roles.end(), seed);
  return roles;
}
