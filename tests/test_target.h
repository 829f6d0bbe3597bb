// How a test reaches the programs under test on the build's target.
//
// A cross build's test programs run through the toolchain's emulator (CTest
// prepends CMAKE_CROSSCOMPILING_EMULATOR). The processes of ours that a test
// starts itself, the daemon, the tools and helper binaries, must go through
// the same emulator: start them with target_argv() (exec) or
// target_command() (a shell command). Programs that are not ours, python3,
// openssl, nats-server, stay native and talk to ours over 127.0.0.1.
//
// Emulation is slow, so every time limit a test waits for is multiplied by
// one factor, time_scale() (1 natively; the armhf toolchain sets it): wrap
// each limit in scaled(). CTest's TIMEOUT of every test uses the same factor.
//
// Both values come from the build (compile definitions ORVIK_TEST_EMULATOR
// and ORVIK_TIME_SCALE, see tests/CMakeLists.txt); the environment variables
// of the same names override them, which is also how the test scripts
// (scripts/soak.sh) receive them.
#ifndef ORVIK_TESTS_TEST_TARGET_H_
#define ORVIK_TESTS_TEST_TARGET_H_

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#ifndef ORVIK_TEST_EMULATOR
#define ORVIK_TEST_EMULATOR ""
#endif
#ifndef ORVIK_TIME_SCALE
#define ORVIK_TIME_SCALE 1
#endif

namespace orvik_test {

// The factor for every time limit; at least 1.
inline int time_scale() {
  static const int scale = [] {
    const char *text = std::getenv("ORVIK_TIME_SCALE");
    long value = text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 10)
                                                  : static_cast<long>(ORVIK_TIME_SCALE);
    return value >= 1 && value <= 1000 ? static_cast<int>(value) : 1;
  }();
  return scale;
}

template <class Rep, class Period>
std::chrono::duration<Rep, Period> scaled(std::chrono::duration<Rep, Period> limit) {
  return limit * time_scale();
}

inline int scaled_ms(int milliseconds) {
  return milliseconds * time_scale();
}

// The emulator's words ("qemu-arm", "-L", "/"); empty when ours run natively.
inline const std::vector<std::string> &emulator() {
  static const std::vector<std::string> words = [] {
    const char *text = std::getenv("ORVIK_TEST_EMULATOR");
    std::istringstream stream(text != nullptr ? text : ORVIK_TEST_EMULATOR);
    std::vector<std::string> result;
    for (std::string word; stream >> word;) result.push_back(word);
    return result;
  }();
  return words;
}

inline bool emulated() {
  return !emulator().empty();
}

// argv for execvp: the emulator's words, then the program and its arguments.
inline std::vector<std::string> target_argv(const std::vector<std::string> &argv) {
  std::vector<std::string> result = emulator();
  result.insert(result.end(), argv.begin(), argv.end());
  return result;
}

// A shell command that runs program (a path of ours) on the target; append
// the arguments.
inline std::string target_command(const std::string &program) {
  std::string command;
  for (const std::string &word : emulator()) command += word + " ";
  return command + program;
}

}  // namespace orvik_test

#endif  // ORVIK_TESTS_TEST_TARGET_H_
