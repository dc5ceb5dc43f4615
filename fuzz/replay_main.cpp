// Runs a fuzz target once over every file of its corpus, for builds without
// libFuzzer (any compiler): a regression test of everything the fuzzer found.
// Arguments are corpus directories or single files. Exits non-zero when no
// input was found, so a misplaced corpus cannot pass unnoticed; a crashing
// input ends the run with the target's own abort or sanitizer report.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Sorted, so a failing input is reported at the same place on every run.
std::vector<std::string> files_in(const std::string& dir_path) {
  std::vector<std::string> files;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(dir_path.c_str()));
  if (!dir) return files;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = dir_path + "/" + name;
    if (!is_directory(path)) files.push_back(path);
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool run_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  // A fresh copy of exactly the input's size, as libFuzzer passes it, so an
  // overread past the end is caught by a sanitizer build.
  std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
  std::copy(bytes.begin(), bytes.end(), data.get());
  LLVMFuzzerTestOneInput(data.get(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t ran = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::vector<std::string> files = is_directory(arg) ? files_in(arg)
                                                             : std::vector<std::string>{arg};
    for (const std::string& file : files) {
      if (!run_file(file)) return 1;
      ++ran;
    }
  }
  std::printf("replayed %zu inputs\n", ran);
  return ran > 0 ? 0 : 1;
}
