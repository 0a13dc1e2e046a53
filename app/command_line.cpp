#include "app/command_line.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "app/image_io.h"

namespace kestrel {
namespace {

std::string timeText(double elapsedMilliseconds, bool alwaysMinutes) {
  const int seconds = static_cast<int>(elapsedMilliseconds / 1000.0);
  const int minutes = seconds / 60;
  char text[64];
  if (minutes != 0 || alwaysMinutes) {
    std::snprintf(text, sizeof text, "time cost : %d(m)%d(s)\n", minutes, seconds % 60);
  } else {
    std::snprintf(text, sizeof text, "time cost : %d(s)\n", seconds % 60);
  }
  return text;
}

}  // namespace

std::vector<std::string> takeOptionValues(std::vector<std::string>& words,
                                          const std::string& option, bool& missingValue) {
  missingValue = false;
  const std::string joined = option + "=";
  std::vector<std::string> values;
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == option) {
      if (i + 1 == words.size()) {
        missingValue = true;
      } else {
        values.push_back(words[++i]);
      }
    } else if (word.compare(0, joined.size(), joined) == 0) {
      values.push_back(word.substr(joined.size()));
    } else {
      rest.push_back(word);
    }
  }
  words = std::move(rest);
  return values;
}

bool takeThreadsOption(int argc, const char* const* argv, std::vector<std::string>& words,
                       int& threads, std::string& error) {
  threads = 0;
  words.clear();
  for (int i = 1; i < argc; ++i) words.push_back(argv[i]);
  bool missingValue = false;
  // A missing value can only be the last word, so checking the values first
  // reports the first problem on the line.
  for (const std::string& value : takeOptionValues(words, "--threads", missingValue)) {
    if (!parseInteger(value, threads) || threads < 1 || threads > kMaxThreads) {
      error = "--threads '" + value + "' must be a whole number from 1 to " +
              std::to_string(kMaxThreads);
      return false;
    }
  }
  if (missingValue) {
    error = "--threads needs a number of threads";
    return false;
  }
  return true;
}

bool takeDepthOption(std::vector<std::string>& words, int& depth, std::string& error) {
  const std::string option = "--depth";
  bool missingValue = false;
  depth = 0;
  for (const std::string& value : takeOptionValues(words, option, missingValue)) {
    if (value != "8" && value != "16") {
      error = option + " '" + value + "' must be 8 or 16";
      return false;
    }
    depth = value == "8" ? 8 : 16;
  }
  if (missingValue) {
    error = option + " needs 8 or 16";
    return false;
  }
  return true;
}

bool depthFitsOutput(int depth, const std::string& output, std::string& error) {
  if (depth != 16 || formatFromPath(output) == ImageFormat::Png) return true;
  error = "--depth 16 needs a PNG output: '" + output + "' holds 8 bits a channel";
  return false;
}

int outputDepth(int givenDepth, int inputBitsPerSample, const std::string& output) {
  if (givenDepth != 0) return givenDepth;
  return inputBitsPerSample == 16 && formatFromPath(output) == ImageFormat::Png ? 16 : 8;
}

bool parseInteger(const std::string& text, int& value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < INT_MIN || parsed > INT_MAX) return false;
  value = static_cast<int>(parsed);
  return true;
}

bool parseReal(const std::string& text, double& value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  if (errno == ERANGE && std::fabs(parsed) > 1.0) return false;
  if (*end != '\0' || !std::isfinite(parsed)) return false;
  value = parsed;
  return true;
}

bool parseRealInRange(const char* name, const std::string& text, const NumberRange& range,
                      double& value, std::string& error, const std::string& otherWords) {
  const std::string quoted = std::string(name) + " '" + text + "' ";
  if (!parseReal(text, value)) {
    error = quoted + "is not a finite number" + otherWords;
    return false;
  }
  const bool aboveLowest = range.lowestIncluded ? value >= range.lowest : value > range.lowest;
  if (!aboveLowest || value > range.highest) {
    char bounds[80];
    std::snprintf(bounds, sizeof bounds, "must be greater than %g and at most %g", range.lowest,
                  range.highest);
    error = quoted + bounds;
    return false;
  }
  return true;
}

std::string blindTimeCostText(double elapsedMilliseconds) {
  return timeText(elapsedMilliseconds, false);
}

std::string nonBlindTimeCostText(double elapsedMilliseconds) {
  return timeText(elapsedMilliseconds, true);
}

void printError(const std::string& command, const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", command.c_str(), message.c_str());
}

}  // namespace kestrel
