#pragma once

// The fault that FailNthMoveForTesting (files.h) arms, shared by both
// systems' move calls. Not thread-safe: tests arm it on the thread that
// installs.

// Tests only: the n-th call of MoveReplacing or MoveToNewName (files.h)
// from now on (1 = the next one) fails and moves nothing; the calls after
// it work again. 0 disarms it.
void FailNthMoveForTesting(unsigned long n);

// Counts one move down; true when this move is the one that must fail.
bool ConsumeMoveFault();
