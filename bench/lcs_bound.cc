// The in-order upper bound of a pair: the longest common subsequence of the
// old and new file, by Myers' O(ND) greedy algorithm. No format that reads
// the old file forward can take more new bytes from it.
//   lcs_bound OLD NEW [MAX_D]   prints the LCS length, or "too far apart"
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: lcs_bound OLD NEW [MAX_D]\n");
    return 2;
  }
  auto read = [](const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
  };
  std::vector<unsigned char> a = read(argv[1]), b = read(argv[2]);
  long n = static_cast<long>(a.size()), m = static_cast<long>(b.size());
  long maxD = argc > 3 ? std::atol(argv[3]) : n + m;
  // v[k + offset]: the furthest x on diagonal k (x - y = k) with d edits.
  long offset = maxD + 1;
  std::vector<long> v(static_cast<size_t>(2 * maxD + 3), 0);
  for (long d = 0; d <= maxD; ++d) {
    for (long k = -d; k <= d; k += 2) {
      long x = (k == -d || (k != d && v[k - 1 + offset] < v[k + 1 + offset]))
                   ? v[k + 1 + offset]
                   : v[k - 1 + offset] + 1;
      long y = x - k;
      while (x < n && y < m && a[x] == b[y]) ++x, ++y;
      v[k + offset] = x;
      if (x >= n && y >= m) {
        // d insertions and deletions: the LCS has (n + m - d) / 2 bytes.
        std::printf("%ld\n", (n + m - d) / 2);
        return 0;
      }
    }
  }
  std::printf("too far apart\n");
  return 1;
}
