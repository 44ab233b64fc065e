#include "tools/render.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include <fmt/format.h>

#include "tools/errors.h"

extern char **environ;

namespace norvusb {

namespace {

constexpr std::string_view kUniversalExit = "\x1B%-12345X";  // PJL's language switch
constexpr size_t kHeaderBytes = 64 * 1024;                    // where DSC and PJL headers are looked for

bool HaveGhostscript() {
  const char *path = std::getenv("PATH");
  std::stringstream folders(path ? path : "");
  for (std::string folder; std::getline(folders, folder, ':');)
    if (!folder.empty() && access((std::filesystem::path(folder) / "gs").c_str(), X_OK) == 0) return true;
  return false;
}

// The offset where the page description starts: after a PJL header, if any.
size_t PayloadStart(const std::string &head) {
  if (!head.starts_with(kUniversalExit)) return 0;
  size_t at = kUniversalExit.size();
  while (head.compare(at, 4, "@PJL") == 0) {
    const size_t end = head.find('\n', at);
    if (end == std::string::npos) return head.size();
    at = end + 1;
  }
  return at;
}

// Copies the page description from `start` up to the PJL switch that ends
// it (or the end), a piece at a time.
void CopyPayload(std::ifstream &in, size_t start, const std::filesystem::path &payload) {
  std::ofstream out(payload, std::ios::binary);
  in.clear();
  in.seekg(static_cast<std::streamoff>(start));
  std::string carry;
  std::vector<char> chunk(kHeaderBytes);
  while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
    std::string window = carry + std::string(chunk.data(), static_cast<size_t>(in.gcount()));
    if (const size_t end = window.find(kUniversalExit); end != std::string::npos) {
      out.write(window.data(), static_cast<std::streamsize>(end));
      carry.clear();
      break;
    }
    // A switch may straddle two pieces.
    const size_t keep = std::min(window.size(), kUniversalExit.size() - 1);
    out.write(window.data(), static_cast<std::streamsize>(window.size() - keep));
    carry = window.substr(window.size() - keep);
  }
  out << carry;
  if (!out.flush()) Fail("--render: cannot write a scratch file");
}

// The page size a PostScript document states in its comments, in points:
// %%DocumentMedia, else a %%BoundingBox from the origin.
std::optional<std::pair<double, double>> StatedPageSize(const std::string &head) {
  std::istringstream lines(head);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string key, name;
    double a = 0, b = 0, c = 0, d = 0;
    fields >> key;
    if (key == "%%DocumentMedia:" && fields >> name >> a >> b && a > 0 && b > 0) return std::pair(a, b);
    if (key == "%%BoundingBox:" && fields >> a >> b >> c >> d && a == 0 && b == 0 && c > 0 && d > 0)
      return std::pair(c, d);
  }
  return std::nullopt;
}

// Runs Ghostscript with its chatter in `log`; the exit status.
int RunGhostscript(const std::vector<std::string> &arguments, const std::filesystem::path &log) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<char *> argv;
  for (const std::string &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  const int spawned = posix_spawnp(&child, "gs", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string FirstLine(const std::filesystem::path &file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

PageRenderer::PageRenderer(std::string png, unsigned resolution) : png_(std::move(png)), resolution_(resolution) {
  if (png_.empty()) BadInput("--render '': expected the name of the PNG file to draw the page into");
  if (png_ == "-") BadInput("--render -: expected a file name; the picture does not go to standard output");
  { OutputFile check("--render", png_); }  // a name that can be written, left as it was
  if (!HaveGhostscript()) BadInput("--render needs Ghostscript (gs), which is not installed (Debian: ghostscript)");
  std::string folder = (std::filesystem::temp_directory_path() / "norvusb-render-XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) Fail("--render: cannot make a scratch folder");
  scratch_ = folder;
  sink_ = OutputFile("--render", (scratch_ / "received").string());
  sink_.Start();
}

PageRenderer::~PageRenderer() {
  sink_ = OutputFile();
  std::error_code ignored;
  std::filesystem::remove_all(scratch_, ignored);
}

Rendered PageRenderer::Render() {
  if (auto error = sink_.Close()) Fail(*error);
  std::ifstream in(scratch_ / "received", std::ios::binary);
  std::string head(kHeaderBytes, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(in.gcount()));
  const size_t start = PayloadStart(head);
  const std::string_view payload = std::string_view(head).substr(start);
  const bool pdf = payload.starts_with("%PDF-");
  if (!pdf && !payload.starts_with("%!"))
    Fail("--render: what the printer received is neither PostScript nor PDF, so there is no page to draw");
  CopyPayload(in, start, scratch_ / "page");

  std::string output;  // Ghostscript reads % in a file name as a page number
  for (char c : png_) output += c == '%' ? std::string("%%") : std::string(1, c);
  std::vector<std::string> arguments = {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=png16m",
                                        fmt::format("-r{}", resolution_), "-dFirstPage=1", "-dLastPage=1",
                                        "-sOutputFile=" + output};
  if (const auto size = pdf ? std::nullopt : StatedPageSize(std::string(payload))) {
    arguments.push_back(fmt::format("-dDEVICEWIDTHPOINTS={:g}", size->first));
    arguments.push_back(fmt::format("-dDEVICEHEIGHTPOINTS={:g}", size->second));
    arguments.push_back("-dFIXEDMEDIA");
  }
  arguments.push_back((scratch_ / "page").string());
  const int status = RunGhostscript(arguments, scratch_ / "gs.log");
  const auto size = PngSize(png_);
  // Ghostscript ends well on a document cut short before its first page: it
  // drew nothing, and says nothing.
  if (status == 0 && !size)
    Fail("--render: Ghostscript drew no page: the document ended before its first page was shown (is it cut short?)");
  if (status != 0 || !size) {
    const std::string reason = FirstLine(scratch_ / "gs.log");
    Fail(fmt::format("--render: Ghostscript could not draw the page (exit status {}): {}", status,
                     reason.empty() ? "it gave no reason" : reason));
  }
  return {png_, size->first, size->second};
}

std::optional<std::pair<unsigned, unsigned>> PngSize(const std::string &file) {
  std::ifstream in(file, std::ios::binary);
  std::array<uint8_t, 24> header{};
  if (!in.read(reinterpret_cast<char *>(header.data()), header.size())) return std::nullopt;
  constexpr std::array<uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (!std::equal(kSignature.begin(), kSignature.end(), header.begin()) ||
      std::string_view(reinterpret_cast<const char *>(header.data()) + 12, 4) != "IHDR")
    return std::nullopt;
  const auto word = [&](size_t at) {
    return unsigned{header[at]} << 24 | unsigned{header[at + 1]} << 16 | unsigned{header[at + 2]} << 8 | header[at + 3];
  };
  return std::pair(word(16), word(20));
}

}  // namespace norvusb
