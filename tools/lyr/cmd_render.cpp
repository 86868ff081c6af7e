// lyr render: PNG pictures of a scene at one time or over a range of times, with a contact sheet.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "common.h"
#include "render.h"

namespace lyr::tool {

namespace {

constexpr uint32_t kMaxFrames = 10000;
constexpr uint32_t kMaxSide = 8192;

struct RenderOptions {
  std::string file, output, set, camera = "auto", up = "y", size = "256x256", frames;
  double time = 0;
  bool sheet = false;
};

// A whole string as a finite number, or false.
bool ParseNumber(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  *out = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && std::isfinite(*out);
}

void ParseSize(const std::string& text, uint32_t* width, uint32_t* height) {
  const size_t x = text.find('x');
  const std::string w = text.substr(0, x), h = x == std::string::npos ? "" : text.substr(x + 1);
  auto side = [&](const std::string& s, uint32_t* out) {
    if (s.empty() || s.size() > 5 || s.find_first_not_of("0123456789") != std::string::npos)
      return false;
    *out = static_cast<uint32_t>(std::stoul(s));
    return *out >= 1 && *out <= kMaxSide;
  };
  if (x == std::string::npos || !side(w, width) || !side(h, height))
    throw Failure("bad --size '" + text + "': expected WIDTHxHEIGHT, each 1 to " +
                  std::to_string(kMaxSide) + " pixels, e.g. 320x240");
}

// START:END:STEP in seconds: START, START + STEP, ... up to END (included when it falls on a
// step, within a millionth of one).
std::vector<double> ParseFrames(const std::string& text) {
  const std::string usage =
      "bad --frames '" + text + "': expected START:END:STEP in seconds, e.g. 0:2:0.25";
  const size_t a = text.find(':'), b = a == std::string::npos ? a : text.find(':', a + 1);
  double start = 0, end = 0, step = 0;
  if (b == std::string::npos || !ParseNumber(text.substr(0, a), &start) ||
      !ParseNumber(text.substr(a + 1, b - a - 1), &end) || !ParseNumber(text.substr(b + 1), &step))
    throw Failure(usage);
  if (start < 0) throw Failure(usage + " (times start at 0)");
  if (end < start) throw Failure(usage + " (END is before START)");
  if (!(step > 0)) throw Failure(usage + " (STEP must be above 0)");
  const double count = std::floor((end - start) / step + 1e-6) + 1;
  if (!(count <= kMaxFrames)) {
    char many[64];
    std::snprintf(many, sizeof many, " (that is %.4g frames; at most %u)", count, kMaxFrames);
    throw Failure(usage + many);
  }
  std::vector<double> times;
  for (uint32_t i = 0; i < static_cast<uint32_t>(count); ++i) times.push_back(start + i * step);
  return times;
}

std::string FolderOf(const std::string& file) {
  const std::filesystem::path parent = std::filesystem::path(file).parent_path();
  return parent.empty() ? "." : parent.string();
}

void MakeFolder(const std::filesystem::path& folder) {
  if (folder.empty()) return;
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec || !std::filesystem::is_directory(folder))
    throw Failure("cannot make the folder '" + folder.string() + "'" +
                  (ec ? ": " + ec.message() : ""));
}

std::string FrameName(uint32_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "frame_%04u.png", index);
  return name;
}

int RunRender(const RenderOptions& o, bool timeGiven) {
  // Cheap checks first, so that a bad command line never waits for a load.
  uint32_t width = 0, height = 0;
  ParseSize(o.size, &width, &height);
  const bool range = !o.frames.empty();
  std::vector<double> times = range ? ParseFrames(o.frames) : std::vector<double>{o.time};
  if (timeGiven && !(std::isfinite(o.time) && o.time >= 0))
    throw Failure("bad --time: expected a time in seconds, 0 or more");
  CameraView view = CameraView::Auto;
  for (const auto& [name, v] : CameraViews())
    if (name == o.camera) view = v;

  Scene scene;
  scene.Load(o.file);
  SceneRenderer renderer(scene, FolderOf(o.file));
  if (!o.set.empty()) renderer.PlaySet(o.set);
  const std::string set = renderer.PlayingSet();

  // One camera for every frame: it frames what all of them show.
  Sphere bounds;
  for (double t : times) {
    renderer.Pose(t);
    bounds = Merge(bounds, renderer.Bounds());
  }

  const std::filesystem::path output(o.output);
  std::filesystem::path folder = range ? output : output.parent_path();
  MakeFolder(folder);
  std::unique_ptr<ContactSheet> sheet;
  if (o.sheet)
    sheet = std::make_unique<ContactSheet>(static_cast<uint32_t>(times.size()), width, height);
  std::vector<std::string> written;
  {
    Progress progress("lyr render", times.size());
    for (uint32_t i = 0; i < times.size(); ++i) {
      renderer.Pose(times[i]);
      renderer.Draw(bounds, view, o.up == "z", width, height);
      const std::string path = range ? (folder / FrameName(i)).string() : o.output;
      renderer.WritePng(path);
      written.push_back(path);
      if (sheet) sheet->Place(i, renderer.ReadImage());
      progress.Advance();
    }
  }
  std::string sheetPath;
  if (o.sheet) {
    sheetPath = range ? (folder / "sheet.png").string()
                      : (output.parent_path() / (output.stem().string() + "_sheet.png")).string();
    WritePngFile(sheetPath, sheet->image());
  }

  const std::string what = set.empty() ? "the scene" : "'" + set + "'";
  if (range) {
    std::printf("lyr render: %s, %zu frames from %g s to %g s at %ux%u\n", what.c_str(),
                times.size(), times.front(), times.back(), width, height);
    std::printf("  frames:        %s ... %s\n", written.front().c_str(), written.back().c_str());
  } else {
    std::printf("lyr render: %s at %g s, %ux%u\n", what.c_str(), times[0], width, height);
    std::printf("  picture:       %s\n", written[0].c_str());
  }
  if (!sheetPath.empty()) std::printf("  contact sheet: %s\n", sheetPath.c_str());
  return 0;
}

}  // namespace

Command AddRenderCommand(CLI::App& app) {
  auto o = std::make_shared<RenderOptions>();
  CLI::App* sub = app.add_subcommand(
      "render",
      "Draw a scene to PNG pictures: its animation played, skinned meshes skinned, patch meshes "
      "tessellated, framed from its bounding sphere and lit by one light");
  sub->add_option("file", o->file, "The Vek scene file")->required();
  CLI::Option* time =
      sub->add_option("--time", o->time, "Draw one picture at this time in seconds (default 0)");
  sub->add_option("--frames", o->frames,
                  "Draw pictures from START to END seconds, every STEP seconds, written as "
                  "OUT/frame_0000.png, frame_0001.png, ...")
      ->type_name("START:END:STEP")
      ->excludes(time);
  sub->add_option("--size", o->size, "Picture size in pixels")
      ->type_name("WxH")
      ->capture_default_str();
  sub->add_option("--set", o->set,
                  "The animation set to play (default: the file's last set, as the loader plays)");
  std::vector<std::string> cameras;
  for (const auto& view : CameraViews()) cameras.push_back(view.first);
  sub->add_option("--camera", o->camera,
                  "Where the camera looks from: auto (from the front, right and above), front, "
                  "back, side (from the right) or top")
      ->check(CLI::IsMember(cameras))
      ->capture_default_str();
  sub->add_option("--up", o->up,
                  "The scene's up axis: y (front towards -z) or z (front towards -y)")
      ->check(CLI::IsMember({"y", "z"}))
      ->capture_default_str();
  sub->add_option("-o,--output", o->output,
                  "With --time: the PNG file to write. With --frames: the folder for the frames "
                  "(made when missing)")
      ->required()
      ->type_name("OUT");
  sub->add_flag("--sheet", o->sheet,
                "Also write a contact sheet of all pictures: OUT/sheet.png with --frames, else "
                "OUT's name with _sheet.png");
  return {sub, [o, time] { return RunRender(*o, time->count() > 0); }};
}

}  // namespace lyr::tool
