// Runs one of the built commands in a shell and captures what it printed.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kestrel::testing {

struct CommandResult {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::string quoted(const std::string& word) {
  std::string text = "'";
  for (char c : word) {
    if (c == '\'') {
      text += "'\\''";
    } else {
      text += c;
    }
  }
  return text + "'";
}

inline std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool fileExists(const std::string& path) { return std::ifstream(path).good(); }

// Runs <build>/app/<command> with the arguments, in the directory workDir.
inline CommandResult runCommand(const std::string& command, const std::vector<std::string>& args,
                                const std::string& workDir) {
  std::string line = "cd " + quoted(workDir) + " && " + quoted(KESTREL_BINARY_DIR "/app/" + command);
  for (const std::string& arg : args) line += " " + quoted(arg);
  const std::string outPath = workDir + "/.stdout";
  const std::string errPath = workDir + "/.stderr";
  line += " > " + quoted(outPath) + " 2> " + quoted(errPath) + " < /dev/null";
  const int raw = std::system(line.c_str());
  CommandResult result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.out = readWholeFile(outPath);
  result.err = readWholeFile(errPath);
  std::remove(outPath.c_str());
  std::remove(errPath.c_str());
  return result;
}

}  // namespace kestrel::testing
