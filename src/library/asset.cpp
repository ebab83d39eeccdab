#include <turbojpeg.h>

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>

#include "base/base64.h"
#include "base/files.h"
#include "base/lang.h"
#include "base/text.h"
#include "library/documents.h"

// The preview of a file for the page: text as is, images as data URLs, and the first
// pages of a PDF rendered to JPEG.
namespace Documents {
namespace {

constexpr int64_t kTextPreviewBytes = 600'000;
constexpr int64_t kImageBytes = 12'000'000;
constexpr int64_t kPdfBytes = 512LL * 1024 * 1024;
constexpr int kPdfPages = 4;
constexpr double kPageWidth = 1400;  // pixels
constexpr double kMostScale = 3.0;
constexpr int kJpegQuality = 72;
constexpr size_t kShotBytes = 7'000'000;  // all page JPEGs of one preview together

std::string mimeType(const std::string& path) {
  std::string ext = Text::lower(Files::extension(path));
  if (ext == "png") return "image/png";
  if (ext == "gif") return "image/gif";
  if (ext == "webp") return "image/webp";
  if (ext == "svg") return "image/svg+xml";
  if (ext == "heic") return "image/heic";
  if (ext == "bmp") return "image/bmp";
  return "image/jpeg";
}

// poppler reports damaged files on standard error by default; a preview says so itself.
void quietPoppler() {
  static std::once_flag once;
  std::call_once(once, [] { poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr); });
}

std::optional<std::string> jpeg(const poppler::image& image) {
  tjhandle handle = tjInitCompress();
  if (!handle) return std::nullopt;
  unsigned char* out = nullptr;
  unsigned long size = 0;
  // poppler's ARGB32 is native-endian 0xAARRGGBB words: B, G, R, A in memory here.
  int rc = tjCompress2(handle, reinterpret_cast<const unsigned char*>(image.const_data()), image.width(),
                       image.bytes_per_row(), image.height(), TJPF_BGRA, &out, &size, TJSAMP_420,
                       kJpegQuality, TJFLAG_ACCURATEDCT);
  std::optional<std::string> result;
  if (rc == 0 && out) result = std::string(reinterpret_cast<const char*>(out), size);
  tjFree(out);
  tjDestroy(handle);
  return result;
}

// The page at a scale that fits 1400 pixels across, never above three times its size.
std::optional<std::string> shot(const poppler::page& page) {
  poppler::rectf box = page.page_rect(poppler::media_box);
  double width = box.width(), height = box.height();
  // The media box is unrotated; a page turned a quarter is drawn with its sides swapped.
  auto turn = page.orientation();
  if (turn == poppler::page::landscape || turn == poppler::page::seascape) std::swap(width, height);
  if (!(width > 0) || !(height > 0)) return std::nullopt;
  double scale = std::min(kPageWidth / width, kMostScale);
  int pixelsWide = static_cast<int>(std::floor(width * scale));
  int pixelsHigh = static_cast<int>(std::floor(height * scale));
  if (pixelsWide <= 0 || pixelsHigh <= 0) return std::nullopt;
  poppler::page_renderer renderer;
  renderer.set_paper_color(0xFFFFFFFF);
  renderer.set_image_format(poppler::image::format_argb32);
  renderer.set_render_hint(poppler::page_renderer::antialiasing);
  renderer.set_render_hint(poppler::page_renderer::text_antialiasing);
  poppler::image image = renderer.render_page(&page, 72 * scale, 72 * scale, 0, 0, pixelsWide, pixelsHigh);
  if (!image.is_valid() || image.format() != poppler::image::format_argb32) return std::nullopt;
  return jpeg(image);
}

void pdf(const std::string& file, nlohmann::json& out) {
  quietPoppler();
  // poppler opens by name; it is given the name of the file checked and held open here.
  auto held = Files::hold(file, kPdfBytes);
  if (!held) {
    out["error"] = Lang::pick("No read permission", "אין הרשאת קריאה");
    return;
  }
  std::unique_ptr<poppler::document> doc(poppler::document::load_from_file(held->name()));
  if (!doc) {
    out["error"] = Lang::pick("The file does not read as a PDF", "הקובץ אינו נקרא כ-PDF");
    return;
  }
  int count = doc->pages();
  out["pages"] = count;
  nlohmann::json shots = nlohmann::json::array();
  size_t total = 0;
  for (int i = 0; i < std::min(count, kPdfPages) && !doc->is_locked(); ++i) {
    std::unique_ptr<poppler::page> page(doc->create_page(i));
    if (!page) continue;
    auto bytes = shot(*page);
    if (!bytes) continue;
    if (total + bytes->size() > kShotBytes) break;
    total += bytes->size();
    shots.push_back("data:image/jpeg;base64," + Base64::encode(*bytes));
  }
  if (shots.empty())
    out["error"] = Lang::pick("Could not render the pages", "לא הצלחתי לצייר את העמודים");
  else
    out["shots"] = shots;
}

void image(const std::string& file, int64_t size, nlohmann::json& out) {
  if (size > kImageBytes) {
    out["error"] = Lang::pick("Image too large", "התמונה גדולה מדי");
    return;
  }
  auto bytes = Files::read(file, kImageBytes);
  if (!bytes) {
    out["error"] = Lang::pick("No read permission", "אין הרשאת קריאה");
    return;
  }
  out["src"] = "data:" + mimeType(file) + ";base64," + Base64::encode(*bytes);
}

}  // namespace

nlohmann::json asset(const std::string& path) {
  std::string file = expand(path);
  std::string what = kind(file);
  auto attributes = Files::attributes(file);
  int64_t size = attributes ? attributes->size : 0;
  // File names are bytes, JSON is UTF-8: a name that is not would make the payload unsendable.
  nlohmann::json out = {{"path", Text::validUtf8(file)},
                        {"kind", what},
                        {"size", size},
                        {"name", Text::validUtf8(Text::lastComponent(file))}};
  if (!Files::exists(file)) {
    out["error"] = Lang::pick("File not found", "הקובץ לא נמצא");
    return out;
  }
  if (attributes && !attributes->regular) {  // a folder, or a pipe whose reading would never end
    out["error"] = Lang::pick("No read permission", "אין הרשאת קריאה");
    return out;
  }
  try {
    if (what == "pdf") {
      pdf(file, out);
    } else if (what == "image") {
      image(file, size, out);
    } else if (size > kTextPreviewBytes) {
      out["error"] = Lang::pick("File too large to display here", "הקובץ גדול מדי לתצוגה כאן");
    } else {
      Document doc = read(file);
      out["text"] = doc.text;
      if (!doc.error.empty()) out["error"] = doc.error;
      // The card's editor saves against this reading, and only over a whole, clean one.
      if (doc.editable())
        out["version"] = doc.version.text();
      else if (doc.error.empty())
        out["locked"] = doc.locked;
    }
  } catch (const std::exception&) {  // an allocation failure on a huge page, say
    out["error"] = Lang::pick("Could not render the pages", "לא הצלחתי לצייר את העמודים");
  }
  return out;
}

}  // namespace Documents
