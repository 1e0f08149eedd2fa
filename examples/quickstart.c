/* Quickstart: load the library and print its version. */
#include <stdio.h>

#include "quilmarr.h"

int main(void) {
  printf("QuilMarr %s\n", qm_version());
  return 0;
}
