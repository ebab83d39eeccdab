#pragma once
// Writes small but valid PDF files: each page a white sheet with one filled square, so
// a rendered page is real pixels and a page count is a real page tree.

#include <cstdio>
#include <string>
#include <vector>

struct PdfPage {
  double width = 612;   // points
  double height = 792;
  int rotate = 0;
  bool noise = false;  ///< covered by the shared noise image instead of a square
};

/// `noiseWidth` × `noiseHeight` pixels of random grey, shared by the pages that ask for it:
/// noise is what JPEG compresses worst, so such pages make large shots.
inline std::string makePdf(const std::vector<PdfPage>& pages, int noiseWidth = 0, int noiseHeight = 0) {
  std::vector<std::string> objects;  // object n is objects[n - 1]
  int count = static_cast<int>(pages.size());
  std::string kids;
  for (int i = 0; i < count; ++i) kids += std::to_string(3 + 2 * i) + " 0 R ";
  objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
  objects.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(count) + " >>");
  for (int i = 0; i < count; ++i) {
    const PdfPage& p = pages[i];
    std::string box = "[0 0 " + std::to_string(p.width) + " " + std::to_string(p.height) + "]";
    std::string page = "<< /Type /Page /Parent 2 0 R /MediaBox " + box + " /Contents " +
                       std::to_string(4 + 2 * i) + " 0 R";
    if (p.rotate) page += " /Rotate " + std::to_string(p.rotate);
    if (p.noise) page += " /Resources << /XObject << /Noise " + std::to_string(3 + 2 * count) + " 0 R >> >>";
    objects.push_back(page + " >>");
    std::string draw = "0.2 0.4 0.8 rg 10 10 50 50 re f";
    if (p.noise)
      draw = "q " + std::to_string(p.width) + " 0 0 " + std::to_string(p.height) + " 0 0 cm /Noise Do Q";
    objects.push_back("<< /Length " + std::to_string(draw.size()) + " >>\nstream\n" + draw + "\nendstream");
  }
  if (noiseWidth > 0 && noiseHeight > 0) {
    std::string pixels(static_cast<size_t>(noiseWidth) * noiseHeight, '\0');
    unsigned state = 12345;
    for (char& c : pixels) {
      state = state * 1103515245u + 12345u;
      c = static_cast<char>(state >> 16);
    }
    objects.push_back("<< /Type /XObject /Subtype /Image /Width " + std::to_string(noiseWidth) + " /Height " +
                      std::to_string(noiseHeight) + " /ColorSpace /DeviceGray /BitsPerComponent 8 /Length " +
                      std::to_string(pixels.size()) + " >>\nstream\n" + pixels + "\nendstream");
  }
  std::string out = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t n = 0; n < objects.size(); ++n) {
    offsets.push_back(out.size());
    out += std::to_string(n + 1) + " 0 obj\n" + objects[n] + "\nendobj\n";
  }
  size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t at : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", at);
    out += line;
  }
  out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return out;
}
