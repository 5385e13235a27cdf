#include "master.h"

int main() {
  master_boot();
  return 0;
}
