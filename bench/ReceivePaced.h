#pragma once
// The paced cases of receive_bench (ReceivePaced.cpp): the window, with both
// ports open on the two pty pairs and the upper view in HEX with a blank
// separator, fed at serial line speeds (onlyBits: that speed alone, 0: all).
// Prints the figures; returns how many cases lost bytes. GUI thread.

#include "tests/support/PtyPair.h"

class TForm1;

int RunPacedCases(TForm1& form, const kalvaro::test::TPtyPair& pty1, const kalvaro::test::TPtyPair& pty2,
                  double caseSeconds, double idleSeconds, int onlyBits = 0);
