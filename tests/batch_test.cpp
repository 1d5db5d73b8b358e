// ecbcat-batch's pure parts: how names are shown, how the command line is read, which output a
// name makes, and what a rerun makes of an output it finds.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "acl.hpp"
#include "job.hpp"
#include "options.hpp"
#include "record.hpp"
#include "report.hpp"

namespace ecbcat::test {
namespace {

TEST(Batch, NamesShownSafelyOnATerminal) {
  const struct Case {
    std::string name, shown;
  } cases[] = {
      {"plain.enc", "plain.enc"},
      {"a\\b", "a\\\\b"},             // a backslash is not an escape
      {"new\nline", "new\\012line"},  // C0
      {"del\x7f", "del\\177"},        // DEL
      {"\xc2\x9b"
       "2J",
       "\\302\\2332J"},                                                  // C1 CSI, encoded
      {"\x9b", "\\233"},                                                 // a byte that is not UTF-8
      {"caf\xc3\xa9", "caf\xc3\xa9"},                                    // é
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},                          // an emoji, four bytes
      {"\xc0\xaf", "\\300\\257"},                                        // overlong '/'
      {"\xe0\x80\xaf", "\\340\\200\\257"},                               // overlong, three bytes
      {"\xed\xa0\x80", "\\355\\240\\200"},                               // a surrogate
      {"\xf4\x90\x80\x80", "\\364\\220\\200\\200"},                      // past U+10FFFF
      {"\xe6\x97", "\\346\\227"},                                        // cut short
      {"a\xe2\x80\xaegpj.enc", "a\\342\\200\\256gpj.enc"},               // U+202E, right to left
      {"\xe2\x81\xa6x\xe2\x81\xa9", "\\342\\201\\246x\\342\\201\\251"},  // U+2066, U+2069
      {"l\xe2\x80\xa8m", "l\\342\\200\\250m"},                           // U+2028, a line separator
      {"\xe2\x80\xa0\xe2\x81\xaa", "\xe2\x80\xa0\xe2\x81\xaa"},          // U+2020, U+206A stay
  };
  for (const Case& c : cases) EXPECT_EQ(c.shown, shown(c.name)) << c.name;
}

TEST(Batch, CommandLines) {
  const struct Case {
    std::vector<std::string> args;
    std::optional<int> status;  // nothing: the run goes on
    unsigned jobs;
    std::vector<std::string> paths;
    bool dry_run;
  } cases[] = {
      {{"-j", "3", "a"}, std::nullopt, 3, {"a"}, false},
      {{"a", "-n"}, std::nullopt, 0, {"a"}, true},  // options after a PATH
      {{"--", "-n"}, std::nullopt, 0, {"-n"}, false},
      {{"--jobs=1024", "."}, std::nullopt, 1024, {"."}, false},
      {{"--dry", "."}, std::nullopt, 0, {"."}, true},  // a long option shortened
      {{"-j1025", "."}, usage_error, 0, {}, false},
      {{"-j", "0", "."}, usage_error, 0, {}, false},
      {{"-j", " 3", "."}, usage_error, 0, {}, false},
      {{"-o", "", "."}, usage_error, 0, {}, false},
      {{"-S", "", "."}, usage_error, 0, {}, false},
      {{"--suffix=a/b", "."}, usage_error, 0, {}, false},
      {{"--files0-from", ""}, usage_error, 0, {}, false},
      {{"--files0-from=-"}, std::nullopt, 0, {}, false},  // the list alone
      {{"-q", "-v", "."}, usage_error, 0, {}, false},
      {{"--watch", "-n", "."}, usage_error, 0, {}, false},  // a dry run writes nothing to wait for
      {{"--bogus", "."}, usage_error, 0, {}, false},
      {{"--min-age", "-1", "."}, usage_error, 0, {}, false},
      {{"--min-age=1x", "."}, usage_error, 0, {}, false},
      {{"--min-age", "60", "--rm", "."}, std::nullopt, 0, {"."}, false},
      // With -o, two PATHs whose outputs would meet under DIR; one named twice does not.
      {{"-o", "D", "x/data", "y/data/"}, usage_error, 0, {}, false},
      {{"-o", "D", "x/f.enc", "y/f"}, usage_error, 0, {}, false},
      {{"-o", "D", "a/.", "b/."}, usage_error, 0, {}, false},
      {{"-o", "D", "y/f.enc", "."}, usage_error, 0, {}, false},
      {{"-o", "D", "x/f.enc", "x//./f.enc/", "g"},
       std::nullopt,
       0,
       {"x/f.enc", "x//./f.enc/", "g"},
       false},
      {{}, usage_error, 0, {}, false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"ecbcat-batch"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Options o;
    const std::string line = testing::PrintToString(c.args);
    EXPECT_EQ(c.status, parse(static_cast<int>(args.size()), argv.data(), o)) << line;
    if (c.status) continue;
    EXPECT_EQ(c.jobs, o.jobs) << line;
    EXPECT_EQ(c.paths, o.paths) << line;
    EXPECT_EQ(c.dry_run, o.dry_run) << line;
  }
}

TEST(Batch, OutputNames) {
  const struct Case {
    std::string input, output, suffix = ".enc";
  } cases[] = {{"x.enc", "x"},
               {"x.enc.enc", "x.enc"},
               {".enc", ""},
               {"x.ENC", ""},
               {"enc", ""},
               {"..enc", ""},
               {"...enc", ""},
               {"-rf.enc", "-rf"},
               {"x.aes", "x", ".aes"},
               {"x.enc", "", ".aes"},
               {"x_enc", "x", "_enc"},
               {"x.AES", "", ".aes"}};
  for (const Case& c : cases) {
    input_suffix = InputSuffix(c.suffix);
    EXPECT_EQ(c.output, output_name(c.input)) << c.input << " " << c.suffix;
  }
  input_suffix = InputSuffix();
  EXPECT_EQ("d/x", join("d", "x"));
  EXPECT_EQ("d/x", join("d/", "x"));
}

TEST(Batch, RerunVerdicts) {
  const Stamp in{100, 5'000, 7'000};  // 100 bytes: a whole decryption has 112
  const struct Case {
    Existing x;
    Result verdict;
  } cases[] = {
      {{Existing::file, {112, 5'000, 8'000}, in}, Result::done_before},
      {{Existing::file, {112, 5'000, 8'000}, Stamp{100, 5'000, 6'000}}, Result::stale_output},
      {{Existing::file, {112, 5'000, 8'000}, Stamp{90, 5'000, 7'000}}, Result::stale_output},
      {{Existing::file, {64, 5'000, 8'000}, in}, Result::stale_output},  // cut short since
      {{Existing::other, {112, 5'000, 8'000}, in}, Result::left_alone},
      // Without a record: the data time says whether it is ours.
      {{Existing::file, {112, 5'000, 8'000}}, Result::done_before},
      {{Existing::file, {64, 5'000, 8'000}}, Result::stale_output},
      {{Existing::file, {112, 5'000, 6'000}}, Result::stale_output},  // re-uploaded, cp -p
      {{Existing::file, {112, 4'000, 8'000}}, Result::left_alone},
      {{Existing::file, {16, 5'000, 5'000}}, Result::left_alone},  // written in the same tick
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.verdict, rerun_verdict(c.x, in, -1))
        << c.x.own.size << " " << c.x.own.mtime << " " << c.x.own.ctime << " " << !!c.x.record;
  }
  // Another's file, whatever its record says; ours, or where no owner is told, by its record.
  const Existing planted{Existing::file, {112, 5'000, 8'000}, in, 1001};
  EXPECT_EQ(Result::left_alone, rerun_verdict(planted, in, 1000));
  EXPECT_EQ(Result::done_before, rerun_verdict(planted, in, 1001));
  EXPECT_EQ(Result::done_before, rerun_verdict(planted, in, -1));
  EXPECT_EQ(in, stamp_from_record(record_of(in)));
  EXPECT_EQ(Stamp({-1, 0, 1}), stamp_from_record("-1 0 1"));
  for (const char* bad : {"", "1 2", "1 2 3 ", "1  2 3", "1 2 3 4", "x 2 3", "1,2,3"}) {
    EXPECT_EQ(std::nullopt, stamp_from_record(bad)) << bad;
  }
}

// What every class of a file grants in common, from its mode or its ACL as Linux stores it.
TEST(Batch, OthersBound) {
  // Version 2, then each entry: tag and permissions (little-endian 16 bits), id (32 bits).
  const auto acl = [](std::initializer_list<std::pair<unsigned, unsigned>> entries) {
    std::string s("\2\0\0\0", 4);
    for (auto [tag, perm] : entries) s += {char(tag), char(tag >> 8), char(perm), 0, 1, 0, 0, 0};
    return s;
  };
  const unsigned user_obj = 1, user = 2, group_obj = 4, group = 8, mask = 0x10, other = 0x20;
  struct Case {
    unsigned mode;
    std::string acl;
    unsigned bound;
  } cases[] = {
      {0644, "", 04},
      {0604, "", 0},  // the group is kept out, and may be among the others
      {0640, acl({{user_obj, 6}, {user, 4}, {group_obj, 4}, {mask, 4}, {other, 0}}), 0},
      {0655, acl({{user_obj, 6}, {group_obj, 5}, {group, 7}, {mask, 5}, {other, 5}}), 05},
      {0644, acl({{user_obj, 6}, {user, 0}, {group_obj, 4}, {mask, 4}, {other, 4}}), 0},
      {0674, acl({{user_obj, 6}, {user, 7}, {group_obj, 7}, {mask, 1}, {other, 7}}), 01},
      {0644, acl({{user_obj, 6}, {group_obj, 4}}), 0},  // no others' entry
      {0644, acl({{user_obj, 6}, {group_obj, 4}, {other, 4}}).substr(0, 13), 0},
      {0644, "?", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.bound, others_bound(c.mode, c.acl)) << std::oct << c.mode;
}

}  // namespace
}  // namespace ecbcat::test
