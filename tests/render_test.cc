// The outline and the page render: the mask's bytes kept, each filled part as the legacy
// operation writes it, and pages published whole.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ZRTHtmlFile.h"
#include "base/platform.h"
#include "fuzz/fuzz_checks.h"
#include "template/pipeline.h"
#include "testing/test_support.h"
#include "zrtmask_mask.h"
#include "zrtmask_outline.h"
#include "zrtmask_render.h"
#include "zrtmask_result.h"

namespace zrtmask {
namespace {

using testing::ListDirectory;
using testing::ReadFile;
using testing::WriteFile;

class RenderTest : public testing::ScratchDirTest {};

std::string Render(const std::string& mask, const PageFill& fill) {
  std::string page;
  const int code = RenderPage(mask, fill, &page);
  return code == kOk ? page : "code " + std::to_string(code);
}

// Every mask the suite has: the fuzz seeds, the test pages, the example, and random markup from
// a fixed seed (fragments with CR LF, lone CR, comments, declarations and markers).
std::vector<std::string> SampleMasks() {
  std::vector<std::string> masks;
  for (const char* directory :
       {ZRTMASK_TEST_DATA_DIR, ZRTMASK_EXAMPLES_DIR, ZRTMASK_FUZZ_CORPUS_DIR}) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
      if (entry.is_regular_file()) masks.push_back(ReadFile(entry.path().string()));
    }
  }
  std::vector<std::string> pieces;
  std::istringstream all(
      "<ZRTA>|</ZRTA>|<ZRTA x=1>|<title>|</title>|<ZRTViewName>|<ZRTImage>|</ZRTImage>|"
      "<img src=\"a\" width=1>|<IMG SRC height='2'>|<!--|-->|<!x>|<QLXSTART>|< qlxurl\r\n>|QLX|\r\n|"
      "\r|\n| |<|>|=|\"|'|text|START|sta|L|<qlxStart\n >|<!--ZRTA-->|<!--/ZRTA-->|"
      "<SYS path=\"p\">|<ZRTPath>|<b>|-");
  for (std::string piece; std::getline(all, piece, '|');) pieces.push_back(piece);
  std::mt19937 random(12);
  for (int count = 0; count < 300; ++count) {
    std::string mask;
    for (int piece = static_cast<int>(random() % 40); piece > 0; --piece) mask += pieces[random() % pieces.size()];
    masks.push_back(mask);
  }
  return masks;
}

// An empty fill gives back the mask; a fill of every closed region and two markers the mask
// holds keeps every byte before the first filled part and after the last; the outline's
// processing markers and unclosed regions and titles are those of the legacy operations.
TEST_F(RenderTest, KeepsEveryByteOutsideTheFilledParts) {
  for (const std::string& mask : SampleMasks()) {
    SCOPED_TRACE(mask.substr(0, 200));
    ASSERT_EQ(Render(mask, PageFill()), mask);
    Outline outline;
    ASSERT_EQ(OutlineMask(mask, {}, &outline), kOk);
    PageFill fill;
    std::size_t first = mask.size();
    std::size_t last = 0;
    auto touch = [&](ByteRange range) {
      first = std::min(first, range.begin);
      last = std::max(last, range.end);
    };
    for (const OutlineRegion& region : outline.regions) {
      if (region.name == "ZRTImage" || region.name == "ZRTViewName") continue;
      bool closed = true;
      for (const OutlineRegion& other : outline.regions) {
        if (other.name == region.name) closed = other.closed;
      }
      if (!closed) continue;
      fill.regions.push_back({region.name, "new", false});
      touch({region.opening.begin, region.closing.end});
    }
    for (const OutlineMarker& marker : outline.markers) {
      if (marker.kind == ProcessingMarker::kStart) fill.start = "s";
      if (marker.kind == ProcessingMarker::kUrl) fill.url = "u";
      if (marker.kind == ProcessingMarker::kStart || marker.kind == ProcessingMarker::kUrl) {
        touch({marker.insert_at, marker.insert_at});
      }
    }
    const std::string page = Render(mask, fill);
    ASSERT_NE(page.substr(0, 5), "code ");
    // The processing markers are found where the setters find them (their copy keeps every
    // byte of a mask without CR).
    if (mask.find('\r') == std::string::npos) {
      PageFill start;
      start.start = "v";
      WriteFile("t.html", mask);
      ASSERT_EQ(ZRTHtmlFile("t.html").SetZRTStart("v"), kOk);
      const std::string rendered = Render(mask, start);
      EXPECT_EQ(rendered == "code 11" ? mask : rendered, ReadFile("t.html"));
    }
    // A region or title is unclosed exactly when the legacy rewrites answer 10 for it.
    WriteFile("t.html", mask);
    const bool title_open = !outline.titles.empty() && !outline.titles.back().closed;
    EXPECT_EQ(ZRTHtmlFile("t.html").SetZRTViewName("v") == kRegionNotClosed, title_open);
    for (const OutlineRegion& region : outline.regions) {
      WriteFile("t.html", mask);
      PageFill one;
      one.regions.push_back({region.name, "x", true});
      const bool open = Render(mask, one) == "code " + std::to_string(kRegionNotClosed);
      EXPECT_EQ(
          ZRTHtmlFile("t.html").dumpZRTTagContent(region.name.c_str(), "x") == kRegionNotClosed,
          open)
          << region.name;
    }
    if (first > last) continue;
    EXPECT_EQ(page.substr(0, first), mask.substr(0, first));
    EXPECT_EQ(page.substr(page.size() - (mask.size() - last)), mask.substr(last));
  }
}

// Each filled part is what the legacy operation writes on a mask without its quirks (no blank
// lines, no declaration, no text after the last tag), with LF and with CR LF line ends, and
// with the parts to fill beyond the first read block; the whole legacy sequence (mask copy and
// every rewrite) gives the render's page.
TEST_F(RenderTest, FilledPartsMatchTheLegacyOperations) {
  std::string padding;
  while (padding.size() < 70000) padding += "<p>x</p>\n";
  const std::string head =
      "<html>\n<head><ZRTViewName><title>Old</title></ZRTViewName></head>\n"
      "<body class=\"b\" >\n";
  const std::string body =
      "<QLXSTART><p>A <ZRTSummary>old<BR>text</ZRTSummary></p>\n"
      "<ZRTBody>old</ZRTBody><ZRTImage><img src=\"o.gif\" width=\"1\" height=\"2\" ></ZRTImage>\n"
      "<  QLXURL\n ><QLXANNOT><qlxdbaccess></body>\n</html>";
  struct Step {
    const char* label;
    std::function<int(ZRTHtmlFile&)> legacy;
    std::function<void(PageFill&)> fill;
  };
  const std::vector<Step> steps = {
      {"view name", [](ZRTHtmlFile& f) { return f.SetZRTViewName("Sales <2007> & co"); },
       [](PageFill& p) { p.view_name = "Sales <2007> & co"; }},
      {"text", [](ZRTHtmlFile& f) { return f.SetZRTTagContent("ZRTSummary", "a\nb <c>"); },
       [](PageFill& p) { p.regions.push_back({"ZRTSummary", "a\nb <c>", false}); }},
      {"html", [](ZRTHtmlFile& f) { return f.dumpZRTTagContent("ZRTBody", "<i>x</i>"); },
       [](PageFill& p) { p.regions.push_back({"ZRTBody", "<i>x</i>", true}); }},
      {"image", [](ZRTHtmlFile& f) { return f.SetZRTImageName("n\".gif", -3, 40); },
       [](PageFill& p) { p.image = ImageFill{"n\".gif", -3, 40}; }},
      {"start", [](ZRTHtmlFile& f) { return f.SetZRTStart("s 1"); }, [](PageFill& p) { p.start = "s 1"; }},
      {"annotations", [](ZRTHtmlFile& f) { return f.SetZRTAnnotations(""); }, [](PageFill& p) { p.annotations = ""; }},
      {"url", [](ZRTHtmlFile& f) { return f.SetZRTURL("http://x/?a=1"); }, [](PageFill& p) { p.url = "http://x/?a=1"; }},
      {"database", [](ZRTHtmlFile& f) { return f.SetZRTDBAccess("db"); }, [](PageFill& p) { p.db_access = "db"; }},
  };
  for (int variant = 0; variant < 4; ++variant) {
    const bool crlf = variant % 2 == 1;
    const std::string pad = variant < 2 ? "" : padding;
    std::string text;
    for (char byte : head + pad + body) {
      text += crlf && byte == '\n' ? std::string("\r\n") : std::string(1, byte);
    }
    WriteFile("m.html", text);
    PageFill all;
    ZRTHtmlFile sequence("all.html");
    ASSERT_EQ(sequence.CopyMaskFile("m.html"), kOk);
    for (const Step& step : steps) {
      SCOPED_TRACE(std::string(step.label) + (crlf ? " CR LF" : " LF") +
                   (pad.empty() ? "" : " long"));
      ZRTHtmlFile single("one.html");
      ASSERT_EQ(single.CopyMaskFile("m.html"), kOk);
      ASSERT_EQ(step.legacy(single), kOk);
      PageFill fill;
      step.fill(fill);
      EXPECT_EQ(Render(text, fill), ReadFile("one.html"));
      ASSERT_EQ(step.legacy(sequence), kOk);
      step.fill(all);
    }
    EXPECT_EQ(Render(text, all), ReadFile("all.html"));
  }
}

// The compiled mask renders what RenderPage renders (page, code and the part reported) for
// random fills of every sample mask: regions it holds, lacks, or holds unclosed, names not
// beginning with "ZRT" (also those of titles and images), a name given twice, every other part,
// values with CR and LF; and its outline is OutlineMask's.
TEST_F(RenderTest, CompiledMaskRendersAsRenderPage) {
  std::mt19937 random(19);
  const std::vector<std::string> values = {"", "v", "a\r\nb\nc\r", "<x> \"q\" &", "\r"};
  auto value = [&] { return values[random() % values.size()]; };
  for (const std::string& mask : SampleMasks()) {
    SCOPED_TRACE(mask.substr(0, 200));
    Mask compiled;
    ASSERT_EQ(Mask::FromBytes(mask, &compiled), kOk);
    Outline outline;
    ASSERT_EQ(OutlineMask(mask, {}, &outline), kOk);
    ASSERT_EQ(compiled.outline().regions.size(), outline.regions.size());
    ASSERT_EQ(compiled.outline().markers.size(), outline.markers.size());
    std::vector<std::string> names = {"ZRTNone", "Summary", "title", "IMG", "b", "SYS", "ZRTImage"};
    for (const OutlineRegion& region : outline.regions) names.push_back(region.name);
    for (int round = 0; round < 12; ++round) {
      PageFill fill;
      const auto parts = random();
      if (parts & 1) fill.view_name = value();
      if (parts & 2) fill.image = ImageFill{value(), static_cast<int>(random() % 5) - 2, 640};
      if (parts & 4) fill.start = value();
      if (parts & 8) fill.annotations = value();
      if (parts & 16) fill.url = value();
      if (parts & 32) fill.db_access = value();
      for (unsigned count = random() % 4; count > 0; --count) {
        fill.regions.push_back({names[random() % names.size()], value(), (random() & 1) != 0});
      }
      fuzz::CheckCompiledRender(compiled, mask, fill);
    }
  }
}

// More regions filled than the render keeps without an allocation: each takes its own value,
// and the regions left out keep their text.
TEST_F(RenderTest, EveryOfManyRegionsTakesItsOwnValue) {
  std::string mask, expected;
  PageFill fill;
  for (int i = 0; i < 14; ++i) {
    const std::string name = "ZRT" + std::to_string(i);
    mask += "<" + name + ">old</" + name + ">\n";
    if (i % 5 == 4) {
      expected += "<" + name + ">old</" + name + ">\n";
      continue;
    }
    fill.regions.push_back({name, std::to_string(i), true});
    expected += "<!--" + name + "-->" + std::to_string(i) + "<!--/" + name + "-->\n";
  }
  EXPECT_EQ(Render(mask, fill), expected);
  Mask compiled;
  ASSERT_EQ(Mask::FromBytes(mask, &compiled), kOk);
  fuzz::CheckCompiledRender(compiled, mask, fill);
}

// A render that fails says which part: missing, or not closed with the line where it opens.
TEST_F(RenderTest, FailedRenderNamesThePart) {
  struct Case {
    const char* mask;
    void (*fill)(PageFill&);
    const char* expected;
  };
  const Case cases[] = {
      {"<p>", [](PageFill& f) { f.view_name = "v"; }, "11 title  0"},
      {"\n<ZRTViewName>\n<title>t", [](PageFill& f) { f.view_name = "v"; }, "10 title  3"},
      {"<ZRTViewName><title a=\"\n<\">t", [](PageFill& f) { f.view_name = "v"; }, "10 title  1"},
      {"<ZRTA>a</ZRTA>", [](PageFill& f) { f.regions.push_back({"ZRTB", "x", false}); },
       "11 region ZRTB 0"},
      {"<ZRTA>a</ZRTA>\r\n<ZRTA>b", [](PageFill& f) { f.regions.push_back({"ZRTA", "x", true}); },
       "10 region ZRTA 2"},
      {"<b>a</b>\n\n<b>", [](PageFill& f) { f.regions.push_back({"b", "x", true}); },
       "10 region b 3"},
      {"<p>", [](PageFill& f) { f.image = ImageFill{"a", 1, 2}; }, "11 image region ZRTImage 0"},
      {"<ZRTImage></ZRTImage>", [](PageFill& f) { f.image = ImageFill{"a", 1, 2}; },
       "11 image element  0"},
      {"<QLXSTART>", [](PageFill& f) { f.url = "u"; }, "11 marker QLXURL 0"},
  };
  const char* const kParts[] = {"none",         "title",         "region",
                                "image region", "image element", "marker"};
  for (const Case& one : cases) {
    SCOPED_TRACE(one.mask);
    PageFill fill;
    one.fill(fill);
    Mask mask;
    ASSERT_EQ(Mask::FromBytes(one.mask, &mask), kOk);
    std::string page;
    RenderProblem problem;
    auto said = [&](int code, const RenderProblem& told) {
      return std::to_string(code) + " " + kParts[static_cast<int>(told.part)] + " " + told.name +
             " " + std::to_string(told.line);
    };
    EXPECT_EQ(said(mask.Render(fill, &page, &problem), problem), one.expected);
    EXPECT_EQ(said(RenderPage(one.mask, fill, &page, &problem), problem), one.expected);
  }
}

// A mask file is read under a shared lock: while a rewrite holds the mask, a compile waits for
// it (here: gives up after the test's time limit with 15) instead of reading half a mask.
TEST_F(RenderTest, MaskFileIsReadUnderTheLock) {
  WriteFile("m.html", "<ZRTA>a</ZRTA>");
  int holder = ::open("m.html", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  SetLockTimeoutForTesting(200);
  Mask mask;
  PageFill fill;
  fill.regions.push_back({"ZRTA", "x", false});
  EXPECT_EQ(Mask::FromFile("m.html", &mask), kOpenFailed);
  EXPECT_EQ(PublishPage("m.html", "p.html", fill), kOpenFailed);
  ::close(holder);
  SetLockTimeoutForTesting(0);
  EXPECT_EQ(Mask::FromFile("m.html", &mask), kOk);
  EXPECT_EQ(ListDirectory("."), (std::vector<std::string>{"c:", "m.html"}));
  // A rewrite that grows the mask while a compile waits for the lock: the compile reads the
  // whole new mask (its size is taken once it has the lock).
  ASSERT_EQ(::flock(holder = ::open("m.html", O_RDWR | O_CLOEXEC), LOCK_EX), 0);
  int code = -1;
  std::thread compile([&] { code = Mask::FromFile("m.html", &mask); });
  ::usleep(100 * 1000);
  const std::string grown = "<ZRTA>" + std::string(300000, 'g') + "</ZRTA>";
  ASSERT_EQ(::pwrite(holder, grown.data(), grown.size(), 0), static_cast<ssize_t>(grown.size()));
  ::close(holder);
  compile.join();
  EXPECT_EQ(code, kOk);
  EXPECT_EQ(mask.bytes(), grown);
}

// The outline gives an unclosed region the line that a message points to, and its place.
TEST_F(RenderTest, OutlineLocatesAnUnclosedRegion) {
  Outline outline;
  ASSERT_EQ(OutlineMask("<p>\n<ZRTA>a</ZRTA>\r\n\n<ZRTA id=1>b", {}, &outline), kOk);
  ASSERT_EQ(outline.regions.size(), 2u);
  EXPECT_EQ(outline.regions[1].line, 4);
  EXPECT_FALSE(outline.regions[1].closed);
  EXPECT_EQ(outline.regions[1].opening.begin, 21u);
}

// Publishing: readers of the page see only whole pages while it is rendered hundreds of times;
// the page keeps its mode, a new page gets the mask's; no file is left beside it.
TEST_F(RenderTest, PublishesWholePagesAtomically) {
  const std::string body(20000, 'x');
  WriteFile("m.html", "<html><ZRTA>old</ZRTA>" + body + "</html>\n");
  ASSERT_EQ(::chmod("m.html", 0640), 0);
  ::mkdir("site", 0755);
  PageFill first;
  first.regions.push_back({"ZRTA", "first", false});
  PageFill second;
  second.regions.push_back({"ZRTA", "second", false});
  ASSERT_EQ(PublishPage("m.html", "site/p.html", first), kOk);
  struct stat info {};
  ASSERT_EQ(::stat("site/p.html", &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  const std::string first_page = ReadFile("site/p.html");
  const std::string second_page = Render(ReadFile("m.html"), second);
  ASSERT_EQ(::chmod("site/p.html", 0604), 0);
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      const std::string seen = ReadFile("site/p.html");
      if (seen != first_page && seen != second_page) ++torn;
    }
  });
  for (int round = 0; round < 200; ++round) {
    ASSERT_EQ(PublishPage("m.html", "site/p.html", round % 2 == 0 ? second : first), kOk);
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  ASSERT_EQ(::stat("site/p.html", &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0604u);
  EXPECT_EQ(ListDirectory("site"), std::vector<std::string>{"p.html"});
}

// A missing mask, a region not in it and a read-only directory (for an unprivileged user) leave
// the old page as it was and nothing beside it.
TEST_F(RenderTest, FailedPublishKeepsTheOldPage) {
  WriteFile("m.html", "<ZRTA>a</ZRTA>");
  ::mkdir("site", 0755);
  WriteFile("site/p.html", "old");
  PageFill fill;
  fill.regions.push_back({"ZRTA", "new", false});
  PageFill other;
  other.regions.push_back({"ZRTB", "new", false});
  EXPECT_EQ(PublishPage("none.html", "site/p.html", fill), kMaskMissing);
  EXPECT_EQ(PublishPage("m.html", "site/p.html", other), kNotInMask);
  EXPECT_EQ(PublishPage("m.html", "nowhere/p.html", fill), kTemplateNotWritable);
  ASSERT_EQ(::chmod("site", 0555), 0);
  EXPECT_EQ(testing::RunInChild([&] { return PublishPage("m.html", "site/p.html", fill); }, true),
            kTemplateNotWritable);
  ASSERT_EQ(::chmod("site", 0755), 0);
  EXPECT_EQ(ReadFile("site/p.html"), "old");
  EXPECT_EQ(ListDirectory("site"), std::vector<std::string>{"p.html"});
}

// A page gets the old page's permission bits (or the mask's), never a set-id or sticky bit,
// and as root the old page's owner; a link at its name is replaced, never followed, and a hard
// link keeps the old text; the unnamed file is tried first, a hidden name where the file
// system lacks it; leftovers of dead publishers of the page go, others stay.
TEST_F(RenderTest, PublishedPageTakesModeOwnerAndPlaceOfTheOldOne) {
  WriteFile("m.html", "<ZRTA>a</ZRTA>");
  ASSERT_EQ(::chmod("m.html", 06777), 0);
  ASSERT_EQ(::mkdir("site", 0755), 0);
  PageFill fill;
  fill.regions.push_back({"ZRTA", "new", false});
  const std::string page = "<!--ZRTA-->new<BR><!--/ZRTA-->";
  auto mode_and_owner = [](const char* path) {
    struct stat info {};
    if (::lstat(path, &info) != 0) return std::string("none");
    return std::to_string(info.st_mode & 07777) + " " + std::to_string(info.st_uid) + ":" +
           std::to_string(info.st_gid);
  };
  ASSERT_EQ(PublishPage("m.html", "site/new.html", fill), kOk);
  EXPECT_EQ(mode_and_owner("site/new.html"), std::to_string(0777) + " 0:0");
  // An unprivileged publisher links its unnamed file in another way; the page is its own.
  ASSERT_EQ(::mkdir("shared", 0777), 0);
  ASSERT_EQ(::chmod("shared", 0777), 0);
  EXPECT_EQ(testing::RunInChild([&] { return PublishPage("m.html", "shared/p.html", fill); }, true),
            kOk);
  EXPECT_EQ(mode_and_owner("shared/p.html"), std::to_string(0777) + " 65534:65534");
  WriteFile("site/p.html", "old");
  ASSERT_EQ(::chmod("site/p.html", 02640), 0);
  ASSERT_EQ(::chown("site/p.html", 65534, 65534), 0);
  ASSERT_EQ(::link("site/p.html", "hard.html"), 0);
  ASSERT_EQ(PublishPage("m.html", "site/p.html", fill), kOk);
  EXPECT_EQ(mode_and_owner("site/p.html"), std::to_string(0640) + " 65534:65534");
  EXPECT_EQ(ReadFile("site/p.html"), page);
  EXPECT_EQ(ReadFile("hard.html"), "old");
  WriteFile("secret.html", "secret");
  ASSERT_EQ(::symlink("../secret.html", "site/link.html"), 0);
  ASSERT_EQ(PublishPage("m.html", "site/link.html", fill), kOk);
  EXPECT_EQ(ReadFile("secret.html"), "secret");
  EXPECT_EQ(ReadFile("site/link.html"), page);
  // Leftovers: a dead publisher's of this page go; a live one's, another page's, another
  // user's file and a link stay.
  const pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
  const std::string dead_file = ".p.html." + std::to_string(dead) + "-3.tmp";
  WriteFile("site/" + dead_file, "partial");
  WriteFile("site/.p.html.1-3.tmp", "init's");
  WriteFile("site/.q.html." + std::to_string(dead) + "-3.tmp", "other page");
  const std::string others = ".p.html." + std::to_string(dead) + "-5.tmp";
  WriteFile("site/" + others, "another user's");
  ASSERT_EQ(::chown(("site/" + others).c_str(), 65534, 65534), 0);
  ASSERT_EQ(
      ::symlink("../secret.html", ("site/.p.html." + std::to_string(dead) + "-4.tmp").c_str()), 0);
  // Without the unnamed file (the seam says the file system lacks it), a hidden name is used.
  ArmFault(Call::kOpen, 0, EOPNOTSUPP, "(unnamed)");
  const int fallback = PublishPage("m.html", "site/p.html", fill);
  DisarmFaults();
  EXPECT_EQ(fallback, kOk);
  EXPECT_EQ(ReadFile("site/p.html"), page);
  EXPECT_EQ(ListDirectory("site"),
            (std::vector<std::string>{
                ".p.html.1-3.tmp", ".p.html." + std::to_string(dead) + "-4.tmp", others,
                ".q.html." + std::to_string(dead) + "-3.tmp", "link.html", "new.html", "p.html"}));
  EXPECT_EQ(ReadFile("secret.html"), "secret");
  // A site publish clears the dead leftovers of its pages' names, in their own folders.
  Mask mask;
  ASSERT_EQ(Mask::FromBytes(ReadFile("m.html"), &mask), kOk);
  ASSERT_EQ(PublishSite({{&mask, "site/q.html", fill}}, {}, nullptr), kOk);
  EXPECT_EQ(
      ListDirectory("site"),
      (std::vector<std::string>{".p.html.1-3.tmp", ".p.html." + std::to_string(dead) + "-4.tmp",
                                others, "link.html", "new.html", "p.html", "q.html"}));
  // The unnamed file is tried first: when it fails for another cause, so does the publish.
  ArmFault(Call::kOpen, 0, EIO, "(unnamed)");
  const int unnamed = PublishPage("m.html", "site/p.html", fill);
  DisarmFaults();
  EXPECT_EQ(unnamed, kOpenFailed);
}

// A mask that is not a regular file is refused at once, as an unreadable one; a missing folder
// is made with make_directories; a full disk keeps the old page; an unchanged page is left
// alone.
TEST_F(RenderTest, MaskFromFileAndPublishOptions) {
  ASSERT_EQ(::mkfifo("fifo.html", 0644), 0);
  Mask mask;
  EXPECT_EQ(Mask::FromFile("fifo.html", &mask), kMaskUnreadable);
  EXPECT_EQ(Mask::FromFile("/dev/zero", &mask), kMaskUnreadable);
  EXPECT_EQ(Mask::FromFile(".", &mask), kMaskUnreadable);
  EXPECT_EQ(Mask::FromFile("none.html", &mask), kMaskMissing);
  PageFill fill;
  fill.regions.push_back({"ZRTA", "x", false});
  EXPECT_EQ(PublishPage("fifo.html", "p.html", fill), kMaskUnreadable);
  WriteFile("m.html", "<ZRTA>a</ZRTA><title>");
  ASSERT_EQ(Mask::FromFile("m.html", &mask), kOk);
  PublishStatus status = PublishStatus::kFailed;
  EXPECT_EQ(mask.Publish("a/b/p.html", fill, {}, &status), kTemplateNotWritable);
  EXPECT_EQ(status, PublishStatus::kFailed);
  PublishOptions options;
  options.make_directories = true;
  EXPECT_EQ(mask.Publish("a/b/p.html", fill, options, &status), kOk);
  EXPECT_EQ(status, PublishStatus::kWritten);
  // A folder made for a page is flushed in the folder above it too (the fourth open of a path
  // in "a/": after the page's folder was looked for, made and opened), and a failed flush says
  // so: the page is in place, but may not survive a crash.
  ArmFault(Call::kOpen, 4, EIO, "a/");
  EXPECT_EQ(mask.Publish("a/c/p.html", fill, options), kOpenFailed);
  DisarmFaults();
  EXPECT_EQ(ReadFile("a/c/p.html"), ReadFile("a/b/p.html"));
  struct stat before {};
  ASSERT_EQ(::stat("a/b/p.html", &before), 0);
  EXPECT_EQ(mask.Publish("a/b/p.html", fill, options, &status), kOk);
  EXPECT_EQ(status, PublishStatus::kUnchanged);
  struct stat after {};
  ASSERT_EQ(::stat("a/b/p.html", &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  // A page of the same size with other bytes is written again; "." or ".." names no page.
  const std::string page = ReadFile("a/b/p.html");
  WriteFile("a/b/p.html", std::string(page.size(), '?'));
  EXPECT_EQ(mask.Publish("a/b/p.html", fill, options, &status), kOk);
  EXPECT_EQ(status, PublishStatus::kWritten);
  EXPECT_EQ(ReadFile("a/b/p.html"), page);
  EXPECT_EQ(mask.Publish("a/b/..", fill, options, &status), kTemplateNotWritable);
  EXPECT_EQ(mask.Publish("a/.", fill, options, &status), kTemplateNotWritable);
  // A page whose write fails keeps the old one and leaves nothing beside it; a folder above the
  // page that cannot be made fails with the cause (EIO, where the missing folder would say 8).
  PageFill other;
  other.regions.push_back({"ZRTA", "y", false});
  ArmFault(Call::kWrite, 1, ENOSPC);  // the first write: the new page's
  EXPECT_EQ(mask.Publish("a/b/p.html", other, options), kTemplateDiskFull);
  DisarmFaults();
  EXPECT_EQ(ReadFile("a/b/p.html"), page);
  EXPECT_EQ(ListDirectory("a/b"), std::vector<std::string>{"p.html"});
  ArmFault(Call::kOpen, 2, EIO, "a/d");
  EXPECT_EQ(mask.Publish("a/d/e/p.html", fill, options), kOpenFailed);
  DisarmFaults();
  EXPECT_NE(::access("a/d", 0), 0);
  RenderProblem problem;
  fill.regions.push_back({"ZRTB", "x", false});
  EXPECT_EQ(mask.Publish("a/b/p.html", fill, options, &status, &problem), kNotInMask);
  EXPECT_EQ(problem.part, RenderProblem::Part::kRegion);
  EXPECT_EQ(problem.name, "ZRTB");
  // A page larger than the disk: 9, the old page kept, nothing left beside it.
  ASSERT_EQ(::mkdir("small", 0755), 0);
  PageFill large;
  large.regions.push_back({"ZRTA", std::string(200000, 'x'), true});
  EXPECT_EQ(testing::RunOnSmallDisk("small",
                                    [&] {
                                      WriteFile("small/p.html", "old");
                                      const int code = mask.Publish("small/p.html", large);
                                      const bool kept = ReadFile("small/p.html") == "old" &&
                                                        ListDirectory("small") ==
                                                            std::vector<std::string>{"p.html"};
                                      return kept ? code : 100;
                                    }),
            kTemplateDiskFull);
}

// Two publishers of overlapping sites never tear a page: a reader sees one whole version.
TEST_F(RenderTest, OverlappingSitePublishesNeverTearAPage) {
  const std::string body(30000, 'y');
  WriteFile("m.html", "<html><ZRTA>old</ZRTA>" + body + "</html>\n");
  Mask mask;
  ASSERT_EQ(Mask::FromFile("m.html", &mask), kOk);
  std::vector<SitePage> first;
  std::vector<SitePage> second;
  std::vector<std::string> versions;
  for (int i = 0; i < 8; ++i) {
    const std::string path = "site/p" + std::to_string(i) + ".html";
    first.push_back({&mask, path, {}});
    first.back().fill.regions.push_back({"ZRTA", "one", false});
    second.push_back({&mask, path, {}});
    second.back().fill.regions.push_back({"ZRTA", "two", false});
  }
  std::string one;
  std::string two;
  ASSERT_EQ(mask.Render(first[0].fill, &one), kOk);
  ASSERT_EQ(mask.Render(second[0].fill, &two), kOk);
  SiteOptions options;
  options.page.make_directories = true;
  options.threads = 2;
  options.group_size = 3;
  ASSERT_EQ(PublishSite(first, options, nullptr), kOk);
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      for (int i = 0; i < 8; ++i) {
        const std::string seen = ReadFile("site/p" + std::to_string(i) + ".html");
        if (seen != one && seen != two) ++torn;
      }
    }
  });
  std::thread other([&] {
    for (int round = 0; round < 40; ++round) PublishSite(second, options, nullptr);
  });
  for (int round = 0; round < 40; ++round) PublishSite(first, options, nullptr);
  other.join();
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(ListDirectory("site").size(), 8u);
}

// A progress callback that throws ends neither the site publish nor the process; a page path
// holding a NUL fails alone; a Mask moved from is still a mask.
TEST_F(RenderTest, MaskAndSiteSurviveTheCallersFaults) {
  Mask mask;
  ASSERT_EQ(Mask::FromBytes("<ZRTA>a</ZRTA>", &mask), kOk);
  std::vector<SitePage> pages;
  for (int i = 0; i < 6; ++i) pages.push_back({&mask, "p" + std::to_string(i) + ".html", {}});
  pages.push_back({&mask, std::string("q.html\0x", 8), {}});
  SiteOptions options;
  options.threads = 2;
  options.group_size = 2;
  options.on_page = [](std::size_t, const SitePageResult&) { throw std::runtime_error("cb"); };
  std::vector<SitePageResult> results;
  // A page path holding a NUL is refused, not cut short to another name.
  EXPECT_EQ(PublishSite(pages, options, &results), kTemplateNotWritable);
  EXPECT_EQ(ReadFile("p5.html"), "<ZRTA>a</ZRTA>");
  EXPECT_FALSE(std::filesystem::exists("q.html"));
  const Mask moved = std::move(mask);
  std::string page;
  EXPECT_EQ(mask.Render({}, &page), kOk);
  EXPECT_EQ(page, moved.bytes());
}

// A server may run with descriptor 0 closed: the folder or page that gets it serves as any other.
TEST_F(RenderTest, PublishesWithDescriptorZeroFree) {
  ASSERT_EQ(::mkdir("site", 0755), 0);
  Mask mask;
  ASSERT_EQ(Mask::FromBytes("<ZRTA>a</ZRTA>", &mask), kOk);
  const auto publish_with_zero_closed = [&] {
    ::close(0);
    PageFill fill;
    fill.regions.push_back({"ZRTA", "b", true});
    if (mask.Publish("site/one.html", fill) != kOk) return 1;
    SiteOptions options;
    options.threads = 1;
    if (PublishSite({{&mask, "site/two.html", fill}}, options, nullptr) != kOk) return 2;
    const std::string page = "<!--ZRTA-->b<!--/ZRTA-->";
    return ReadFile("site/one.html") == page && ReadFile("site/two.html") == page ? 0 : 3;
  };
  EXPECT_EQ(testing::RunInChild(publish_with_zero_closed), 0);
}

// Publishes pages (see below) in one group, then one by one, and checks each page's code and
// status and what is left.
bool PublishPastFailure(const std::vector<SitePage>& pages) {
  bool right = true;
  for (const std::size_t group_size : {8u, 1u}) {
    for (const std::string& name : ListDirectory("small")) ::unlink(("small/" + name).c_str());
    WriteFile("small/big.html", "old");
    SiteOptions options;
    options.threads = 1;
    options.group_size = group_size;
    std::vector<SitePageResult> results;
    const int first_failure = PublishSite(pages, options, &results);
    std::string codes;
    for (const SitePageResult& result : results) {
      codes +=
          std::to_string(result.code) + (result.status == PublishStatus::kWritten ? "w " : " ");
    }
    right = right && codes == "0w 9 0w 8 11 0w " && first_failure == kTemplateDiskFull &&
            ReadFile("small/big.html") == "old" &&
            ReadFile("small/e.html") == "<!--ZRTA-->" + std::string(100, 'x') + "<!--/ZRTA-->" &&
            ListDirectory("small") ==
                std::vector<std::string>{"a.html", "b.html", "big.html", "e.html"};
  }
  return right;
}

// A page of a group that fails (its disk is full, its folder missing, its region not in the
// mask) keeps its old page and leaves nothing beside it; the group's other pages are published.
TEST_F(RenderTest, SitePublishGoesOnPastAFailedPage) {
  WriteFile("m.html", "<ZRTA>a</ZRTA>");
  Mask mask;
  ASSERT_EQ(Mask::FromFile("m.html", &mask), kOk);
  ASSERT_EQ(::mkdir("small", 0755), 0);
  auto page = [&](const std::string& path, const std::string& region, std::size_t size) {
    SitePage site_page{&mask, path, {}};
    site_page.fill.regions.push_back({region, std::string(size, 'x'), true});
    return site_page;
  };
  const std::vector<SitePage> pages = {
      page("small/a.html", "ZRTA", 100), page("small/big.html", "ZRTA", 200000),
      page("small/b.html", "ZRTA", 100), page("none/c.html", "ZRTA", 100),
      page("small/d.html", "ZRTB", 100), page("small/e.html", "ZRTA", 100)};
  // With unnamed files, then (the seam says the file system lacks them) with hidden names.
  EXPECT_EQ(testing::RunOnSmallDisk("small",
                                    [&] {
                                      int failures = 0;
                                      for (const bool unnamed : {true, false}) {
                                        if (!unnamed) {
                                          ArmFault(Call::kOpen, 0, EOPNOTSUPP, "(unnamed)");
                                        }
                                        failures += PublishPastFailure(pages) ? 0 : 1;
                                        DisarmFaults();
                                      }
                                      return failures;
                                    }),
            0);
}

// Pages whose folder cannot be flushed (neither its file system nor the folder itself) are in
// place, but reported as not sure to survive a crash (15); a page whose file cannot be flushed
// is not.
TEST_F(RenderTest, SitePagesOfAFolderThatCannotBeFlushedAreReported) {
  WriteFile("m.html", "<ZRTA>a</ZRTA>");
  Mask mask;
  ASSERT_EQ(Mask::FromFile("m.html", &mask), kOk);
  ASSERT_EQ(::mkdir("site", 0755), 0);
  const std::vector<SitePage> pages = {{&mask, "site/a.html", {}}, {&mask, "site/b.html", {}}};
  SiteOptions options;
  options.threads = 1;
  std::vector<SitePageResult> results;
  ArmFault(Call::kWrite, 0, EIO, "site");
  EXPECT_EQ(PublishSite(pages, options, &results), kOpenFailed);
  DisarmFaults();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[1].code, kOpenFailed);
  EXPECT_EQ(ReadFile("site/b.html"), "<ZRTA>a</ZRTA>");
  // Published one by one, a page is flushed before it takes its name: when that fails, the old
  // page stays.
  WriteFile("site/a.html", "old");
  options.group_size = 1;
  ArmFault(Call::kSync, 1, EIO);
  EXPECT_EQ(PublishSite({pages[0]}, options, &results), kOpenFailed);
  DisarmFaults();
  EXPECT_EQ(ReadFile("site/a.html"), "old");
}

}  // namespace
}  // namespace zrtmask
