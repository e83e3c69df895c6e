// The lines a program logs just before it ends reach standard error, however
// it ends normally: the logger writes in the background, and the exit must
// not outrun it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

struct Ending {
  int status = -1;
  std::string standardError;
};

// Runs the child program with `arguments` and reads its standard error to
// the end.
Ending runChild(const std::vector<std::string>& arguments) {
  int pipeEnds[2];
  EXPECT_EQ(pipe(pipeEnds), 0);
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipeEnds[1], STDERR_FILENO);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    std::vector<char*> argv{const_cast<char*>(APM_LOGGER_EXIT_CHILD)};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipeEnds[1]);
  Ending ending;
  char buffer[65536];
  for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) ending.standardError.append(buffer, n);
  close(pipeEnds[0]);
  EXPECT_EQ(waitpid(child, &ending.status, 0), child);
  return ending;
}

}  // namespace

TEST(GULLoggerExitTest, EveryLineLoggedBeforeANormalExitIsWritten) {
  constexpr int kLines = 20000;
  for (const char* how : {"return", "exit", "threads"}) {
    const Ending ending = runChild({how, std::to_string(kLines)});
    EXPECT_TRUE(WIFEXITED(ending.status) && WEXITSTATUS(ending.status) == 0) << how << ": " << ending.status;
    // The main thread's lines, in order; the other threads' lines between
    // them are whole lines.
    int next = 0;
    size_t begin = 0;
    for (size_t end; (end = ending.standardError.find('\n', begin)) != std::string::npos; begin = end + 1) {
      const std::string line = ending.standardError.substr(begin, end - begin);
      if (line.rfind("11.3.0 - busy[I-ACS000002] ", 0) == 0) continue;
      ASSERT_EQ(line, "11.3.0 - main[I-ACS000001] " + std::to_string(next)) << how;
      ++next;
    }
    EXPECT_EQ(next, kLines) << how;
  }
}
