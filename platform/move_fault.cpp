#include "move_fault.h"

namespace {

unsigned long moves_until_fault = 0;

}  // namespace

void FailNthMoveForTesting(unsigned long n) { moves_until_fault = n; }

bool ConsumeMoveFault() {
  if (moves_until_fault == 0) return false;
  return --moves_until_fault == 0;
}
