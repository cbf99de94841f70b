// SPDX-License-Identifier: MIT
// Prints the names of the model table, one a line: how the build learns the
// models an image's name may begin with, from the table itself.
#include <cstdio>

#include "catalogue/model_table.h"

int main() {
  for (int i = 0; i < kModelCount; ++i) std::puts(ModelAt(i).name);
  return 0;
}
