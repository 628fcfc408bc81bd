#pragma once

// The fault that FailNthMoveForTesting (files.h) arms, shared by both
// systems' move calls. Not thread-safe: tests arm it on the thread that
// installs.

// Counts one move down; true when this move is the one that must fail.
bool ConsumeMoveFault();
