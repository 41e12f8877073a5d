#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <limits>

#include "host/rtl/Streams.h"

using namespace zan;

namespace {

std::filesystem::path ScratchDir(const std::string& name) {
    const char* env = std::getenv("ZAN_TEST_TMP");
    auto dir = std::filesystem::path(env && *env ? env : "/tmp") / ("streams_" + name);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

std::string ReadAll(TStream& s) {
    s.SetPosition(0);
    std::string out(static_cast<size_t>(s.GetSize()), '?');
    s.ReadBuffer(out.data(), static_cast<int32_t>(out.size()));
    return out;
}

// The same contract on every kind of stream.
void CheckStreamContract(TStream& s) {
    s.WriteBuffer("hello world", 11);
    EXPECT_EQ(s.GetPosition(), 11);
    EXPECT_EQ(s.GetSize(), 11);

    char buf[32] = {};
    EXPECT_EQ(s.Seek(6, soBeginning), 6);
    EXPECT_EQ(s.Read(buf, 20), 5); // partial read at the end
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_EQ(s.Read(buf, 20), 0);
    EXPECT_EQ(s.Read(buf, -5), 0);
    EXPECT_EQ(s.Write(buf, -1), 0);
    EXPECT_EQ(s.Seek(-5, soEnd), 6);
    EXPECT_EQ(s.Seek(-2, soCurrent), 4);
    EXPECT_THROW(s.Seek(-1, soBeginning), EStreamError);
    EXPECT_THROW(s.Seek(std::numeric_limits<int64_t>::max(), soEnd), EStreamError);
    EXPECT_EQ(s.GetPosition(), 4);

    // Past the end: reads answer nothing, a write fills the gap with zeros.
    s.Seek(20, soBeginning);
    EXPECT_EQ(s.Read(buf, 4), 0);
    s.WriteBuffer("!", 1);
    EXPECT_EQ(s.GetSize(), 21);
    EXPECT_EQ(ReadAll(s), std::string("hello world") + std::string(9, '\0') + "!");

    s.SetSize(5);
    EXPECT_EQ(s.GetSize(), 5);
    EXPECT_LE(s.GetPosition(), 5);
    EXPECT_EQ(ReadAll(s), "hello");
    s.SetSize(8);
    EXPECT_EQ(ReadAll(s), std::string("hello") + std::string(3, '\0'));
    EXPECT_THROW(s.SetSize(-1), EStreamError);
    EXPECT_THROW(s.ReadBuffer(buf, 1), EReadError); // at the end
}

} // namespace

TEST(Streams, MemoryStreamContract) {
    TMemoryStream s;
    CheckStreamContract(s);
    EXPECT_EQ(std::string(s.Memory(), 5), "hello");
    s.Clear();
    EXPECT_EQ(s.GetSize(), 0);
    EXPECT_EQ(s.GetPosition(), 0);
}

TEST(Streams, StringStreamContract) {
    TStringStream s;
    CheckStreamContract(s);
    EXPECT_EQ(s.DataString(), std::string("hello") + std::string(3, '\0'));

    TStringStream t("abcdef");
    EXPECT_EQ(t.ReadString(2), "ab");
    t.WriteString("XY"); // overwrites in place, keeps the rest
    EXPECT_EQ(t.DataString(), "abXYef");
    EXPECT_EQ(t.ReadString(100), "ef");
    EXPECT_EQ(t.ReadString(1), "");
    t.Seek(10, soBeginning);
    EXPECT_EQ(t.ReadString(3), "");
}

TEST(Streams, FileStreamContract) {
    auto dir = ScratchDir("contract");
    TFileStream s((dir / "data.bin").string(), fmCreate);
    CheckStreamContract(s);
    EXPECT_EQ(s.GetFileName(), (dir / "data.bin").string());
}

TEST(Streams, FileStreamModes) {
    auto dir = ScratchDir("modes");
    std::string name = (dir / "f.dat").string();
    {
        TFileStream s(name, fmCreate);
        s.WriteBuffer("0123456789", 10);
    }
    {
        TFileStream s(name, fmOpenRead | fmShareDenyNone);
        char buf[4];
        s.Seek(8, soBeginning);
        EXPECT_EQ(s.Read(buf, 4), 2);
        EXPECT_THROW(s.Write("x", 1), EWriteError); // read-only: the OS refuses
    }
}

TEST(Streams, FileStreamWriteOnlyAndCreateTruncates) {
    auto dir = ScratchDir("write");
    std::string name = (dir / "f.dat").string();
    {
        TFileStream s(name, fmCreate);
        s.WriteBuffer("0123456789", 10);
    }
    {
        TFileStream s(name, fmOpenWrite);
        s.Seek(0, soEnd);
        s.WriteBuffer("AB", 2);
        char c;
        s.SetPosition(0);
        EXPECT_THROW(s.Read(&c, 1), EReadError); // write-only handle
    }
    {
        TFileStream s(name, fmOpenReadWrite);
        EXPECT_EQ(ReadAll(s), "0123456789AB");
    }
    {
        TFileStream s(name, fmCreate);
        EXPECT_EQ(s.GetSize(), 0);
    }
}

TEST(Streams, FileStreamErrorsNameTheFile) {
    auto dir = ScratchDir("errors");
    std::string missing = (dir / "missing.dat").string();
    try {
        TFileStream s(missing, fmOpenRead);
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message().rfind("Cannot open file \"" + missing + "\". ", 0), 0u);
        EXPECT_GT(e.Message().size(), missing.size() + 22); // the OS text follows
    }
    std::string badDir = (dir / "nodir" / "x.dat").string();
    try {
        TFileStream s(badDir, fmCreate);
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message().rfind("Cannot create file \"" + badDir + "\". ", 0), 0u);
    }
    EXPECT_THROW(TFileStream(dir.string(), fmOpenRead), EFOpenError); // a directory
    EXPECT_THROW(TFileStream(missing, 3), EFOpenError);               // no such access mode
    EXPECT_THROW(TFileStream(std::string("a\0b", 3), fmCreate), EFCreateError);
}

TEST(Streams, MemoryStreamFilesAndCopies) {
    auto dir = ScratchDir("memory");
    std::string name = (dir / "m.dat").string();
    TMemoryStream m;
    m.WriteBuffer("abc\0def", 7);
    m.SaveToFile(name);

    TMemoryStream loaded;
    loaded.WriteBuffer("old content that is longer", 26);
    loaded.LoadFromFile(name);
    EXPECT_EQ(loaded.GetSize(), 7);
    EXPECT_EQ(loaded.GetPosition(), 0);
    EXPECT_EQ(std::string(loaded.Memory(), 7), std::string("abc\0def", 7));

    TStringStream target;
    m.SaveToStream(target);
    EXPECT_EQ(target.DataString(), std::string("abc\0def", 7));

    TMemoryStream copy;
    EXPECT_EQ(copy.CopyFrom(m, 0), 7); // whole stream from its start
    m.SetPosition(1);
    EXPECT_EQ(copy.CopyFrom(m, 3), 3);
    EXPECT_EQ(ReadAll(copy), std::string("abc\0defbc\0", 10));
    m.SetPosition(5);
    EXPECT_THROW(copy.CopyFrom(m, 5), EReadError);

    // Saving into itself appends a copy; loading from itself keeps the content.
    TMemoryStream self;
    self.WriteBuffer("ab", 2);
    self.SaveToStream(self);
    self.LoadFromStream(self);
    EXPECT_EQ(ReadAll(self), "abab");

    // A write whose end overflows moves nothing.
    m.Seek(std::numeric_limits<int64_t>::max() - 1, soBeginning);
    EXPECT_EQ(m.Write("xyz", 3), 0);
    EXPECT_EQ(m.GetSize(), 7);
}
