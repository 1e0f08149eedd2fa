// Hostile manifests of 50 MB and more, read by the workspace open's reader in a child process
// whose peak memory is measured: whatever a manifest holds, reading it takes at most twice
// its size (the document reader took some 25 to 60 times it), and its outcome is the
// document reader's.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "core/json_scanner.h"
#include "table/manifest_stream.h"

namespace qm::db {
namespace {

// The sanitizers' allocators keep freed memory and shadow every byte: their peak says nothing
// about the reader, so under them the texts are small and only the outcomes are checked.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr size_t kTextBytes = kSanitized ? (size_t{256} << 10) : (size_t{50} << 20);

long status_kb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') return std::atol(line.c_str() + n + 1);
  return -1;
}

struct Reading {
  long peak_growth_kb = -1;  // -1 where the peak cannot be reset
  std::string outcome;       // "read" or the refusal text
};

// Reads `text` in a forked child: the growth of its peak over its memory before the read.
Reading read_in_child(const std::string& text) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5";
    reset.flush();
    const long before = reset ? status_kb("VmHWM") : -1;
    auto read = read_manifest_with_indexes(text);
    const long growth = before < 0 ? -1 : status_kb("VmHWM") - before;
    const std::string report = std::to_string(growth) + "\n" + (read ? std::string("read") : read.error().message());
    (void)!write(fds[1], report.data(), report.size());
    _exit(0);
  }
  close(fds[1]);
  std::string report;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) report.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  Reading r;
  const size_t nl = report.find('\n');
  if (nl == std::string::npos) return r;
  r.peak_growth_kb = std::atol(report.substr(0, nl).c_str());
  r.outcome = report.substr(nl + 1);
  return r;
}

void expect_bounded(const std::string& text, const std::string& outcome) {
  SCOPED_TRACE(text.substr(0, 120));
  const Reading r = read_in_child(text);
  EXPECT_EQ(r.outcome, outcome);
  if (kSanitized || r.peak_growth_kb < 0) return;
  const double text_kb = static_cast<double>(text.size()) / 1024;
  EXPECT_LE(static_cast<double>(r.peak_growth_kb), 2 * text_kb) << "peak growth " << r.peak_growth_kb << " kB";
}

const std::string kHead = R"({"clock":1,"page_count":0,"cas_hashes":[],"tables":[{"name":"t","columns":["a"],)"
                          R"("row_versions":0,"indexes":[{"column":"a","pairs":[)";

std::string syntax_refusal(const std::string& text) {
  return "manifest error: " + json_syntax_error(text).value_or("(none)");
}

TEST(ManifestMemory, ManyPairsEndingInAFault) {
  std::string text = kHead;
  text.reserve(kTextBytes + 64);
  for (int64_t i = 0; text.size() < kTextBytes; ++i) {
    const std::string n = std::to_string(i * 7);
    text += "[{\"Int\":" + n + "},[" + n + "]],";
  }
  // Every pair is indexed before the last one turns out to be refused.
  expect_bounded(text + "[{\"Int\":-1},[-1]]]}]}]}", "manifest error: invalid value: integer `-1`, expected u64");
  // A text that is not closed is refused in the parser's words (a pass that builds nothing).
  if (!kSanitized) text.resize(size_t{4} << 20);
  text += "[{\"Int\":-1},[1]]]}]}]";
  expect_bounded(text, syntax_refusal(text));
}

TEST(ManifestMemory, OneKeyWithMillionsOfRowIds) {
  std::string text = kHead + "[{\"Text\":\"k\"},[";
  text.reserve(kTextBytes + 64);
  while (text.size() < kTextBytes) text += "65536,";
  text += "1]]]}]}]}";
  expect_bounded(text, "read");
}

TEST(ManifestMemory, WideAndDeepValuesUnderUnknownKeys) {
  std::string text = R"({"clock":1,"page_count":0,"tables":[],"cas_hashes":[],"wide":[)";
  text.reserve(kTextBytes + 512);
  while (text.size() < kTextBytes / 2) text += "[[{}]],";
  text += R"([]],"deep":)" + std::string(120, '[') + std::string(120, ']') + R"(,"more":[)";
  while (text.size() < kTextBytes) text += "\"abcdefgh\",";
  text += "0]}";
  expect_bounded(text, "read");
  // Past the nesting bound the text is refused where it crosses it.
  expect_bounded(std::string(kTextBytes, '['), "manifest error: recursion limit exceeded");
  // A retrieval list is refused past its bound, however long it is.
  std::string listed = R"({"clock":1,"page_count":0,"tables":[],"cas_hashes":[],"retrieval_indexes":[)";
  while (listed.size() < kTextBytes) listed += "{\"a\":[1,2,3]},";
  listed += "{}]}";
  expect_bounded(listed, "manifest error: persistent retrieval sequence exceeds its limit");
}

}  // namespace
}  // namespace qm::db
