// --render: what the printer received, drawn by Ghostscript into a PNG file,
// so that a person can see the page. The data goes to a scratch file as it
// arrives (never whole in memory); PJL around the PostScript or PDF is
// dropped, as the printer's own language switch would.
#pragma once

#include <filesystem>
#include <string>

#include "tools/output.h"

namespace norvusb {

inline constexpr unsigned kDefaultRenderResolution = 100;

struct Rendered {
  std::string file;
  unsigned width = 0;  // pixels
  unsigned height = 0;
};

class PageRenderer {
 public:
  // Checks the PNG path and that Ghostscript is there, before any job;
  // throws ToolError (bad input).
  PageRenderer(std::string png, unsigned resolution);
  ~PageRenderer();
  PageRenderer(const PageRenderer &) = delete;
  PageRenderer &operator=(const PageRenderer &) = delete;

  // Where the printer's data is to be written while the job runs.
  OutputFile &Sink() { return sink_; }
  // Draws the first page; throws ToolError (failed) when the data is not
  // PostScript or PDF or Ghostscript cannot draw it.
  Rendered Render();

 private:
  std::string png_;
  unsigned resolution_;
  std::filesystem::path scratch_;  // a folder of our own
  OutputFile sink_;
};

// The size of a PNG image from its header; nullopt when it is not one.
std::optional<std::pair<unsigned, unsigned>> PngSize(const std::string &file);

}  // namespace norvusb
