// PDF reading costs against poppler's and Tesseract's own command lines, in the same run:
// - a 300-page text PDF: PDFParser (and, where the optimizer is built in, PDFParser followed by
//   Optimizer::optimize) against `pdftotext` on the same file (target: at most 1.5x its time);
// - a 10-page scanned PDF: seconds per page of PDFParser with one recognition thread against
//   one `tesseract` process reading the same page images single-threaded (target: at most
//   1.1x), and the speed-up with two threads.
// Each figure is the best of three runs over a warm file cache.
#include <poppler-document.h>
#include <poppler-page.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "documents/internal/pdf_render.h"
#include "documents/pdf_fixtures.h"
#include "documents/pdf_parser.h"
#if ZELK_BENCH_OPTIMIZER
#include "optimize/optimizer.h"
#endif

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double bestSeconds(const std::function<void()>& run, int times = 3) {
  double best = 1e30;
  for (int i = 0; i < times; ++i) {
    auto start = Clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

double childCPUSeconds = 0;  // CPU time of the last command run

// Runs a command line (output to /dev/null) with extra environment entries; exits on failure.
void runCommand(std::vector<std::string> args, const std::vector<std::string>& extraEnv = {}) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings(extraEnv);
  for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
    std::fprintf(stderr, "pdf_bench: cannot run %s (install poppler-utils and tesseract-ocr)\n",
                 argv[0]);
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  childCPUSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                    usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "pdf_bench: %s failed\n", argv[0]);
    std::exit(1);
  }
}

// The page images PDFParser recognises, as binary PPM files for the tesseract command line.
std::vector<std::string> writePageImages(const std::string& pdf, const fs::path& dir) {
  std::unique_ptr<poppler::document> doc(poppler::document::load_from_file(pdf));
  if (!doc) std::exit(1);
  std::vector<std::string> files;
  for (int i = 0; i < doc->pages(); ++i) {
    std::unique_ptr<poppler::page> page(doc->create_page(i));
    std::optional<zelk::RGBImage> image = zelk::documents::renderPage(*page, 2);
    if (!image) std::exit(1);
    std::string file = (dir / ("page-" + std::to_string(i + 1) + ".ppm")).string();
    std::ofstream out(file, std::ios::binary);
    out << "P6\n" << image->width << " " << image->height << "\n255\n";
    for (int y = 0; y < image->height; ++y) {
      out.write(reinterpret_cast<const char*>(image->pixels.get()) +
                    static_cast<size_t>(y) * image->bytesPerRow,
                static_cast<std::streamsize>(image->width) * 3);
    }
    files.push_back(file);
  }
  return files;
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
         usage.ru_stime.tv_usec / 1e6;
}

}  // namespace

int main() {
  fs::path dir = fs::temp_directory_path() / ("zelk-pdf-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);

  // Text: 300 pages of about 2,500 characters each.
  const std::string textPDF = (dir / "text.pdf").string();
  {
    zelk::testing::PDFBuilder b;
    for (int p = 0; p < 300; ++p) b.textPage(zelk::testing::proseOfLength(2500, p + 1), 9);
    if (!b.write(textPDF)) return 1;
  }
  size_t characters = 0;
  double pdftotext = bestSeconds([&] { runCommand({"pdftotext", textPDF, "/dev/null"}); });
  double reader = bestSeconds([&] { characters = zelk::PDFParser().parse(textPDF).size(); });
  std::printf("text PDF, 300 pages (%zu bytes of text): pdftotext %.3f s (%.0f pages/s); "
              "PDFParser %.3f s (%.0f pages/s); ratio %.2fx (target <= 1.5x)\n",
              characters, pdftotext, 300 / pdftotext, reader, 300 / reader, reader / pdftotext);
#if ZELK_BENCH_OPTIMIZER
  double optimized = bestSeconds([&] {
    std::string text = zelk::PDFParser().parse(textPDF);
    zelk::Optimizer::shared().optimize(text, {}, zelk::DocumentFormat::pdf);
  });
  std::printf("text PDF, 300 pages: PDFParser + Optimizer::optimize %.3f s (%.0f pages/s); "
              "ratio %.2fx to pdftotext (target <= 1.5x)\n",
              optimized, 300 / optimized, optimized / pdftotext);
#else
  std::printf("text PDF: the optimizer is not built into this benchmark; reader alone above\n");
#endif

  // Scans: 10 pages, each an image of about 1,800 characters of text.
  const std::string scanPDF = (dir / "scan.pdf").string();
  {
    zelk::testing::PDFBuilder b;
    for (int p = 0; p < 10; ++p) b.scannedPage(zelk::testing::proseOfLength(1800, 100 + p), 12);
    if (!b.write(scanPDF)) return 1;
  }
  std::vector<std::string> images = writePageImages(scanPDF, dir);
  const std::string list = (dir / "pages.txt").string();
  {
    std::ofstream out(list);
    for (const std::string& image : images) out << image << "\n";
  }
  // Warm the model files and our own engine pool once, so neither side pays a first load.
  zelk::PDFParser(zelk::PDFParser::Options{1}).parse(scanPDF);
  // Runs alternate so that both sides see the same load; CPU time is also compared, which
  // a busy machine disturbs less than wall time.
  double cli = 1e30, one = 1e30, cliCPU = 1e30, oneCPU = 1e30;
  for (int run = 0; run < 2; ++run) {
    cli = std::min(cli, bestSeconds(
        [&] { runCommand({"tesseract", list, "stdout"}, {"OMP_THREAD_LIMIT=1"}); }, 1));
    cliCPU = std::min(cliCPU, childCPUSeconds);
    double before = cpuSeconds();
    one = std::min(one, bestSeconds(
        [&] { zelk::PDFParser(zelk::PDFParser::Options{1}).parse(scanPDF); }, 1));
    oneCPU = std::min(oneCPU, cpuSeconds() - before);
  }
  double two = bestSeconds([&] { zelk::PDFParser(zelk::PDFParser::Options{2}).parse(scanPDF); }, 2);
  std::printf("scanned PDF, 10 pages: tesseract (one thread) %.3f s/page (%.3f s CPU); "
              "PDFParser one thread %.3f s/page (%.3f s CPU), ratio %.2fx wall, %.2fx CPU "
              "(target <= 1.1x); two threads %.3f s/page, speed-up %.2fx\n",
              cli / 10, cliCPU / 10, one / 10, oneCPU / 10, one / cli, oneCPU / cliCPU, two / 10,
              one / two);

  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
