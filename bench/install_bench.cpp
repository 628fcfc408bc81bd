// The install's swap against a plain per-file rename of the same tree.
//   install_bench WORK_DIR FILES [ROUNDS]
// Each round lays out two identical installations under WORK_DIR, each an
// older version of FILES files in 100-file directories with an unpacked
// package of new builds of every one of them (the worst case for the
// backup-first swap: every file is replaced), puts them on the disk, then
// installs one with MoveTree (one rename per file, replacing) and the
// other with SwapInPackage (journal, rename aside, rename in, flushes),
// alternating which goes first. The clean-up of update/ is timed apart.
// Prints the times of every round and the ratios of the medians.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "transaction.h"
#include "tree.h"

namespace {

void Write(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

void LayOut(const std::string& base, int files) {
  mkdir(base.c_str(), 0755);
  mkdir((base + "/update").c_str(), 0755);
  mkdir((base + "/update/unzip").c_str(), 0755);
  for (int i = 0; i < files; ++i) {
    const std::string dir = "d" + std::to_string(i / 100);
    const std::string name = dir + "/f" + std::to_string(i) + ".bin";
    if (i % 100 == 0) {
      mkdir((base + "/" + dir).c_str(), 0755);
      mkdir((base + "/update/unzip/" + dir).c_str(), 0755);
    }
    Write(base + "/" + name, "old build of " + name + std::string(i % 4096, 'o'));
    Write(base + "/update/unzip/" + name, "new build of " + name + std::string(i % 4096, 'n'));
  }
}

void RemoveAll(const std::string& path) {
  const std::string command = "rm -rf '" + path + "'";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", path.c_str());
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: install_bench WORK_DIR FILES [ROUNDS]\n");
    return 2;
  }
  const std::string work = argv[1];
  const int files = std::atoi(argv[2]);
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
  std::vector<double> plain, swap, plain_clear, swap_clear;
  std::printf("%d files, every one replaced\n", files);
  std::fflush(stdout);
  for (int round = 0; round < rounds; ++round) {
    const std::string a = work + "/plain", b = work + "/swap";
    LayOut(a, files);
    LayOut(b, files);
    sync();
    for (int turn = 0; turn < 2; ++turn) {
      const bool plain_turn = (turn == 0) == (round % 2 == 0);
      const InstallPaths paths = InstallPathsFor(plain_turn ? a : b);
      auto start = std::chrono::steady_clock::now();
      if (plain_turn) {
        MoveTree(paths.unzip, paths.base);
        plain.push_back(Seconds(start));
        start = std::chrono::steady_clock::now();
        ClearDirectory(paths.update);
        plain_clear.push_back(Seconds(start));
      } else {
        if (SwapInPackage(paths) != SwapResult::kInstalled) {
          std::fprintf(stderr, "the swap failed\n");
          return 1;
        }
        swap.push_back(Seconds(start));
        start = std::chrono::steady_clock::now();
        ClearWorkingDirectory(paths);
        swap_clear.push_back(Seconds(start));
      }
    }
    std::printf(
        "round %d: plain %.3f s (+%.3f s clean-up), backup-first %.3f s (+%.3f s clean-up)\n",
        round + 1, plain.back(), plain_clear.back(), swap.back(), swap_clear.back());
    std::fflush(stdout);
    RemoveAll(a);
    RemoveAll(b);
  }
  const double p = Median(plain), s = Median(swap);
  const double pc = p + Median(plain_clear), sc = s + Median(swap_clear);
  std::printf(
      "median install: plain rename %.3f s, backup-first %.3f s, ratio %.2f (goal <= 1.5)\n", p, s,
      s / p);
  std::printf("median install + clean-up: plain %.3f s, backup-first %.3f s, ratio %.2f\n", pc, sc,
              sc / pc);
  return 0;
}
