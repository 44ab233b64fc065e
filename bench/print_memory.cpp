// The norvusb program's peak memory while it prints a document that arrives
// on standard input, for 1 MiB and for 1 GiB: streaming keeps it flat. The
// program runs as a child, as a user runs it; its peak resident set comes from
// the kernel's own accounting of the child (wait4's rusage), and the input is
// a pattern this benchmark writes into the pipe, so no file cache is counted.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

extern char **environ;

namespace {

struct ChildRun {
  int status = -1;
  long peakRssKib = 0;
};

// Writes `size` bytes of a varied pattern into `fd`; false when the reader went away.
bool Feed(int fd, uint64_t size) {
  std::vector<uint8_t> chunk(1 << 16);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i * 7 + i / 251);
  for (uint64_t sent = 0; sent < size;) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - sent));
    const ssize_t wrote = write(fd, chunk.data(), length);
    if (wrote <= 0) return false;
    sent += static_cast<uint64_t>(wrote);
    chunk[sent % chunk.size()] ^= 0x5A;  // no two pieces alike
  }
  return true;
}

ChildRun PrintFromPipe(uint64_t size) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[0], STDIN_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const std::string program = std::string(NORVUSB_BINARY_DIR) + "/norvusb";
  std::vector<std::string> args = {program, "print", "-", "--timing", "instant", "--quiet"};
  std::vector<char *> argv;
  for (std::string &arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[0]);
  if (spawned != 0) {
    close(pipeFds[1]);
    return {};
  }
  Feed(pipeFds[1], size);
  close(pipeFds[1]);
  ChildRun run;
  rusage usage{};
  if (wait4(child, &run.status, 0, &usage) == child) run.peakRssKib = usage.ru_maxrss;
  return run;
}

// range(0): the document's size in MiB.
void BM_PrintPeakMemory(benchmark::State &state) {
  const uint64_t size = static_cast<uint64_t>(state.range(0)) << 20;
  ChildRun run;
  for (auto _ : state) run = PrintFromPipe(size);
  if (!WIFEXITED(run.status) || WEXITSTATUS(run.status) != 0) {
    state.SkipWithError("norvusb print did not succeed");
    return;
  }
  state.counters["input_MiB"] = static_cast<double>(size >> 20);
  state.counters["peak_rss_MiB"] = static_cast<double>(run.peakRssKib) / 1024.0;
  state.SetBytesProcessed(static_cast<int64_t>(size));
}

BENCHMARK(BM_PrintPeakMemory)->Arg(1)->Arg(1024)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
