// Small helpers shared by the benchmarks: timing, scratch files, and
// running a baseline command.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace bench {

// Best wall time of `runs` calls, in seconds.
inline double BestOf(int runs, const std::function<void()>& action) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    action();
    std::chrono::duration<double> took =
        std::chrono::steady_clock::now() - start;
    if (took.count() < best) best = took.count();
  }
  return best;
}

// Runs a shell command, output discarded; false when it fails.
inline bool Command(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::vector<uint8_t> RandomData(size_t size, uint32_t seed) {
  std::vector<uint8_t> data(size);
  std::mt19937_64 random(seed);
  for (size_t i = 0; i + 8 <= size; i += 8) {
    uint64_t word = random();
    std::memcpy(&data[i], &word, 8);
  }
  return data;
}

inline void WriteFile(const std::filesystem::path& path,
                      const std::vector<uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()),
            static_cast<std::streamsize>(data.size()));
}

inline double MiBPerSecond(uint64_t bytes, double seconds) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds;
}

}  // namespace bench
