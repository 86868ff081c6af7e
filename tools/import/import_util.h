// Small helpers shared by the importers.
#pragma once

#include <fstream>
#include <iterator>
#include <vector>

namespace lyr::import {

// Reads a whole file; false when it cannot be opened or read.
inline bool ReadWholeFile(const char* path, std::vector<char>* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace lyr::import
