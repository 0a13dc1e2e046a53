// Strict parsing of numeric command-line arguments and the small pieces of
// text the commands print, shared by kestrel, marlin and osprey.
#pragma once

#include <string>
#include <vector>

#include "parallel/parallel.h"

namespace kestrel {

// Takes every "option VALUE" and "option=VALUE" out of words, wherever they
// stand, leaving the other words in their order, and returns the values in
// the order given. missingValue tells whether the last word was the option
// itself, with no value after it (that word is taken out too).
std::vector<std::string> takeOptionValues(std::vector<std::string>& words,
                                          const std::string& option, bool& missingValue);

// The words after the command name, with "--threads N" or "--threads=N"
// taken out into threads (0 when absent). False, with error set, when N is
// not a whole number from 1 to kMaxThreads.
bool takeThreadsOption(int argc, const char* const* argv, std::vector<std::string>& words,
                       int& threads, std::string& error);

// Takes every "--depth N" and "--depth=N" out of words (the last counts):
// the bits a channel of the output picture, 8 or 16; 0 when absent. False,
// with error set, for another value or a missing one.
bool takeDepthOption(std::vector<std::string>& words, int& depth, std::string& error);

// False, with error set, for a depth of 16 and an output not ending in png.
bool depthFitsOutput(int depth, const std::string& output, std::string& error);

// The bits a channel to write: the depth given, else 16 for a PNG output of
// a 16-bit input, else 8.
int outputDepth(int givenDepth, int inputBitsPerSample, const std::string& output);

// Whole text must be a decimal integer that fits an int ("12", "-3");
// "12x", "", "1.5" and out-of-range values are refused.
bool parseInteger(const std::string& text, int& value);

// Whole text must be a finite floating-point number ("0.7", "2e-2");
// "0.7x", "", "nan", "inf" are refused.
bool parseReal(const std::string& text, double& value);

// Where a real argument is defined: above lowest (or from it, when
// lowestIncluded) and at most highest.
struct NumberRange {
  double lowest;
  double highest;
  bool lowestIncluded = false;
};

// Parses text, the argument called name, as a real number within range.
// False, with error set, for text that is not a finite number ("<name>
// '<text>' is not a finite number", followed by otherWords) or a number
// outside the range ("... must be greater than L and at most H").
bool parseRealInRange(const char* name, const std::string& text, const NumberRange& range,
                      double& value, std::string& error, const std::string& otherWords = "");

// Run-time report of the blind command: whole seconds s (truncated) give
// "time cost : M(m)S(s)\n" from a minute on, otherwise "time cost : S(s)\n".
std::string blindTimeCostText(double elapsedMilliseconds);

// Run-time report of the non-blind commands, always "time cost : M(m)S(s)\n".
std::string nonBlindTimeCostText(double elapsedMilliseconds);

// An error line for standard error: "<command>: <message>\n".
void printError(const std::string& command, const std::string& message);

}  // namespace kestrel
