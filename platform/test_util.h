// Scratch directories and file reading for tests that touch real files.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace kvs {

// A fresh directory under the system's temp directory, removed afterwards.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix = "kvs_test_") {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            (prefix + std::to_string(random()) + "_" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string File(const char* name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// dir as the working directory while this lives; the one before comes back
// afterwards.
class WorkingDir {
 public:
  explicit WorkingDir(const std::filesystem::path& dir)
      : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~WorkingDir() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
  }
  WorkingDir(const WorkingDir&) = delete;
  WorkingDir& operator=(const WorkingDir&) = delete;

 private:
  std::filesystem::path previous_;
};

// A scratch directory that is the working directory while it lives, as the
// program directory is for the controller.
class ScratchWorkDir : public ScratchDir {
 public:
  explicit ScratchWorkDir(const std::string& prefix = "kvs_test_")
      : ScratchDir(prefix), cwd_(path()) {}

 private:
  WorkingDir cwd_;
};

// The whole file, in text mode unless told ("" when it cannot be read).
inline std::string ReadText(const std::filesystem::path& path,
                            std::ios::openmode mode = std::ios::in) {
  std::ifstream in(path, mode);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The whole file as it is, byte for byte.
inline std::string ReadFile(const std::filesystem::path& path) {
  return ReadText(path, std::ios::binary);
}

// The texts of a log's lines, each ending in "\n", a line's time stamp
// ("YYYY-MM-DD hh:mm:ss  ") cut off where it begins with one: the second
// and later lines of a text, which have none, stay whole.
inline std::string LogTexts(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string line, texts;
  auto stamped = [](const std::string& l) {
    if (l.size() < 21) return false;
    for (size_t i = 0; i < 21; ++i) {
      const char expected = "0000-00-00 00:00:00  "[i];
      if (expected == '0' ? (l[i] < '0' || l[i] > '9') : l[i] != expected) return false;
    }
    return true;
  };
  while (std::getline(in, line)) texts += (stamped(line) ? line.substr(21) : line) + "\n";
  return texts;
}

// The lines of text, without their line ends.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace kvs
