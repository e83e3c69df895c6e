#include "platform/property_list.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "tests/support/files.h"
#include "tests/support/temp_container.h"

namespace {

using platform::Object;

Object everyKind() {
  Object::Dictionary dict;
  dict.emplace("yes", true);
  dict.emplace("no", false);
  dict.emplace("negative", int64_t{-42});
  dict.emplace("int64max", INT64_MAX);
  dict.emplace("uint64max", UINT64_MAX);
  dict.emplace("real", 0.1);
  dict.emplace("text", "h\xC3\xA9llo <&> \xF0\x9F\x98\x80");
  dict.emplace("empty text", "");
  dict.emplace("data", platform::Bytes{0, 1, 2, 255});
  dict.emplace("empty data", platform::Bytes{});
  dict.emplace("date", platform::Date{1700000000});
  dict.emplace("early date", platform::Date{-1000000000});
  dict.emplace("list", Object(Object::Array{Object(1), Object("two"), Object(Object::Array{})}));
  dict.emplace("nested", Object(Object::Dictionary{{"k", Object(Object::Dictionary{})}}));
  return Object(std::move(dict));
}

TEST(PropertyListTest, RoundTripsEveryKindThroughXmlAndBinary) {
  TempContainer container;
  const std::string path = container.path() + "/all.plist";
  const Object original = everyKind();
  ASSERT_TRUE(platform::writePropertyListFile(path, original));
  Object read = platform::readPropertyListFile(path);
  EXPECT_EQ(read, original);
  EXPECT_EQ(read["uint64max"].kind(), Object::Kind::UInt);
  EXPECT_EQ(read["negative"].kind(), Object::Kind::Int);
  EXPECT_EQ(read["int64max"].kind(), Object::Kind::Int);
  EXPECT_EQ(read["yes"].kind(), Object::Kind::Bool);
  EXPECT_EQ(read["real"].kind(), Object::Kind::Double);
  ASSERT_NE(read["empty data"].data(), nullptr);

  // The same document in binary form reads the same.
  const std::string xml = fileText(path);
  plist_t root = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  ASSERT_NE(root, nullptr);
  char* binary = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &binary, &length);
  plist_free(root);
  std::string bytes(binary, length);
  plist_to_bin_free(binary);
  EXPECT_EQ(platform::propertyListFromBytes(bytes), original);
}

TEST(PropertyListTest, RefusesWhatCannotBeWritten) {
  TempContainer container;
  const std::string path = container.path() + "/refused.plist";
  for (const Object& bad :
       {Object(), Object::null(), Object(Object::Array{Object()}),
        Object(std::string("a\0b", 3)), Object(Object::Dictionary{{std::string("k\0", 2), 1}}),
        Object(platform::Date{4e9})}) {
    platform::ErrorRef error;
    EXPECT_FALSE(platform::isPropertyListObject(bad));
    EXPECT_FALSE(platform::writePropertyListFile(path, bad, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), platform::kPropertyListWriteInvalidError);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  // Invalid UTF-8 is written with U+FFFD in its place.
  ASSERT_TRUE(platform::writePropertyListFile(path, Object("a\xFF")));
  EXPECT_EQ(platform::readPropertyListFile(path), Object("a\xEF\xBF\xBD"));
}

TEST(PropertyListTest, AtomicWriteKeepsOldFileAfterInterruptedWrite) {
  TempContainer container;
  const std::string path = container.path() + "/settings.plist";
  const Object first(Object::Dictionary{{"generation", 1}});
  ASSERT_TRUE(platform::writePropertyListFile(path, first));
  // A writer that died before its rename leaves a half-written temporary
  // file next to the real one; readers and later writers ignore it.
  const std::string stray = container.path() + "/.settings.plist.tmp.ABC123";
  std::ofstream(stray) << "<?xml version=\"1.0\"?><plist><dict><key>generation</key>";
  EXPECT_EQ(platform::readPropertyListFile(path), first);
  const Object second(Object::Dictionary{{"generation", 2}});
  ASSERT_TRUE(platform::writePropertyListFile(path, second));
  EXPECT_EQ(platform::readPropertyListFile(path), second);
  // No temporary file of ours survives a successful write.
  EXPECT_EQ(folderEntries(container.path()),
            (std::vector<std::string>{".settings.plist.tmp.ABC123", "settings.plist"}));

  // A write into a missing folder fails and leaves nothing behind.
  platform::ErrorRef error;
  EXPECT_FALSE(platform::writePropertyListFile(container.path() + "/none/x.plist", first, &error));
  EXPECT_TRUE(error);
}

TEST(PropertyListTest, StaleTemporaryFilesOfKilledWritesAreRemoved) {
  TempContainer container;
  const std::string path = container.path() + "/settings.plist";
  const Object kept(Object::Dictionary{{"generation", 1}});
  ASSERT_TRUE(platform::writePropertyListFile(path, kept));

  // A writer killed in the middle of its write: the file size limit stops
  // it with SIGXFSZ before the rename.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct rlimit limit = {64, 64};
    setrlimit(RLIMIT_FSIZE, &limit);
    platform::writePropertyListFile(path, Object(Object::Dictionary{{"big", std::string(4096, 'x')}}));
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
  std::vector<std::string> names = folderEntries(container.path());
  ASSERT_EQ(names.size(), 2u);
  const std::string killed = container.path() + "/" + names[0];
  EXPECT_EQ(names[0].rfind(".settings.plist.tmp.", 0), 0u) << names[0];

  // Whatever their age, only the files of dead writes go: a running write
  // holds its file's lock.
  const std::string folder = container.path() + "/";
  LockedFile running(folder + ".settings.plist.tmp.LIVE01", "being written");
  // Old files of another store's, or with names not of ours.
  const char* decoys[] = {".other.plist.tmp.OTHER1", ".settings.plist.tmp.AB", "settings.plist.tmp.NODOT1"};
  for (const char* decoy : decoys) {
    std::ofstream(folder + decoy) << "x";
    ASSERT_TRUE(shiftModificationTime(folder + decoy, -3600));
  }
  platform::removeStaleTemporaryFiles(path);
  EXPECT_FALSE(std::filesystem::exists(killed));
  EXPECT_EQ(fileText(folder + ".settings.plist.tmp.LIVE01"), "being written");
  for (const char* decoy : decoys) EXPECT_TRUE(std::filesystem::exists(folder + decoy)) << decoy;
  EXPECT_EQ(platform::readPropertyListFile(path), kept);
}

std::string nestedXml(size_t depth) {
  std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
  for (size_t i = 0; i < depth; ++i) xml += "<array>";
  for (size_t i = 0; i < depth; ++i) xml += "</array>";
  return xml + "</plist>";
}

// A binary plist of `count` arrays, each holding the next one twice, then an
// integer: tiny on disk, 2^count objects once expanded.
std::string doublingBinary(uint8_t count, bool cycle) {
  std::string bytes = "bplist00";
  std::string offsets;
  for (uint8_t i = 0; i < count; ++i) {
    offsets.push_back(static_cast<char>(bytes.size()));
    const uint8_t next = cycle ? 0 : static_cast<uint8_t>(i + 1);
    bytes += {'\xA2', static_cast<char>(next), static_cast<char>(next)};
  }
  offsets.push_back(static_cast<char>(bytes.size()));
  bytes += {'\x10', '\x01'};
  const size_t table = bytes.size();
  bytes += offsets;
  std::string trailer(32, '\0');
  trailer[6] = 1;  // offset size
  trailer[7] = 1;  // reference size
  trailer[15] = static_cast<char>(count + 1);
  trailer[31] = static_cast<char>(table);
  return bytes + trailer;
}

TEST(PropertyListTest, RefusesCorruptDeepAndExpandingDocuments) {
  platform::ErrorRef error;
  for (const std::string& bad :
       {std::string(), std::string("not a plist"), std::string("bplist00garbage"),
        std::string("<plist><dict><key>a</key></plist>"),
        nestedXml(platform::kMaxPropertyListDepth + 1), nestedXml(300000),
        doublingBinary(40, false), doublingBinary(3, true)}) {
    error.reset();
    EXPECT_TRUE(platform::propertyListFromBytes(bad, &error).isNil()) << bad.substr(0, 40);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), platform::kPropertyListReadCorruptError);
  }
  // Within the bounds, the same shapes read.
  EXPECT_TRUE(platform::propertyListFromBytes(nestedXml(platform::kMaxPropertyListDepth)).array());
  Object small = platform::propertyListFromBytes(doublingBinary(3, false));
  ASSERT_TRUE(small.array());
  EXPECT_EQ(small.array()->size(), 2u);

  // Tag-like text in comments does not count as nesting.
  EXPECT_EQ(platform::propertyListFromBytes(
                "<plist><!-- </array></array> --><array><integer>5</integer></array></plist>"),
            Object(Object::Array{Object(5)}));

  error.reset();
  EXPECT_TRUE(platform::readPropertyListFile("/nonexistent/x.plist", &error).isNil());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), platform::kFileReadNoSuchFileError);
}

// Binary documents whose arrays share elements: tiny on disk, megabytes
// once written as XML. What reads must write into a file that reads again.
TEST(PropertyListTest, SharedArraysReadOnlyWhenTheirXmlFormReadsBack) {
  TempContainer container;
  const std::string copy = container.path() + "/copy.plist";
  for (const char* name : {"plist-dag-163-bytes-rewrites-to-57mb-xml-unreadable.bplist",
                           "plist-dag-164-bytes-rewrites-to-13mb-xml-unreadable.bplist",
                           "plist-dag-expands-beyond-read-bound.bplist",
                           "settings-store-file-dag-value-rewrite-makes-store-unreadable.bplist",
                           "plist-dag-163-bytes-xml-rewrite-over-10s.bplist"}) {
    platform::ErrorRef error;
    EXPECT_TRUE(platform::readPropertyListFile(
                    std::string(APM_FUZZ_CORPUS_DIR) + "/platform_property_list_fuzz/" + name, &error)
                    .isNil())
        << name;
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), platform::kPropertyListReadCorruptError);
  }
  // Sharing within the bounds reads, writes and reads again.
  const Object read = platform::propertyListFromBytes(doublingBinary(11, false));
  ASSERT_TRUE(read.array());
  ASSERT_TRUE(platform::writePropertyListFile(copy, read));
  EXPECT_EQ(platform::readPropertyListFile(copy), read);

  // Built in memory, shared arrays are refused when written, early, and the
  // old file stays.
  Object shared(std::string(10000, 'x'));
  for (int i = 0; i < 10; ++i) shared = Object(Object::Array{shared, shared});
  const Object kept = platform::readPropertyListFile(copy);
  platform::ErrorRef error;
  EXPECT_FALSE(platform::isPropertyListObject(shared));
  EXPECT_FALSE(platform::writePropertyListFile(copy, shared, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), platform::kPropertyListWriteInvalidError);
  EXPECT_EQ(platform::readPropertyListFile(copy), kept);
}

// What the writer refuses is refused when read, not read and then kept
// where no write can take it, nor moved (a date out of range to 1932).
TEST(PropertyListTest, ValuesTheWriterRefusesAreRefusedWhenRead) {
  for (const OddSettingsFile& odd : kOddSettingsFiles) {
    SCOPED_TRACE(odd.name);
    platform::ErrorRef error;
    EXPECT_TRUE(platform::readPropertyListFile(propertyListCorpusFile(odd.name), &error).isNil());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), platform::kPropertyListReadCorruptError);
    // A store keeps the other key.
    const platform::SettingsFile file = platform::readSettingsFile(propertyListCorpusFile(odd.name));
    EXPECT_EQ(file.state, platform::SettingsFile::State::Damaged);
    EXPECT_TRUE(file.recovered);
    EXPECT_EQ(file.entries, (Object::Dictionary{{"other", Object("kept")}}));
    EXPECT_EQ(file.dropped, std::vector<std::string>{odd.oddKey});
  }
  EXPECT_TRUE(platform::propertyListFromBytes(
                  "<plist><dict><key>d</key><date>2100-01-01T00:00:00Z</date></dict></plist>")
                  .isNil());
  // A key holding NUL is refused before the parser meets it: handing it out
  // stops the process.
  const platform::SettingsFile nulKey = platform::readSettingsFile(
      propertyListCorpusFile("settings-file-utf16-key-with-nul-stops-reader.bplist"));
  EXPECT_EQ(nulKey.state, platform::SettingsFile::State::Damaged);
  EXPECT_FALSE(nulKey.recovered);
  // The dates at both ends of the range read as themselves.
  TempContainer container;
  const std::string path = container.path() + "/ends.plist";
  const double from1970To2001 = 978307200;
  const Object ends(Object::Array{Object(platform::Date{INT32_MIN + from1970To2001}),
                                  Object(platform::Date{INT32_MAX + from1970To2001})});
  ASSERT_TRUE(platform::writePropertyListFile(path, ends));
  EXPECT_EQ(platform::readPropertyListFile(path), ends);
}

}  // namespace

TEST(PropertyListTest, AFifoAtASettingsPathIsUnreadableWithoutBlocking) {
  // Opening a FIFO for reading would wait for a writer that never comes.
  TempContainer container;
  const std::string path = container.path() + "/settings.plist";
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(platform::readSettingsFile(path).state, platform::SettingsFile::State::Unreadable);
}
