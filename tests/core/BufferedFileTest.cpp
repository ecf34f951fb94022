// The buffered file over a store in memory that moves only a few bytes per call
// or fails when told to: the caller must see exactly what the bytes are, whatever
// the buffer's size and however the transfers below are cut.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "platform/BufferedFile.h"
#include "platform/Errors.h"

namespace Velmora {
namespace {

class TMemoryFile : public TBufferedFile {
public:
    TMemoryFile(std::string content, std::size_t bufferSize)
        : TBufferedFile("memory", bufferSize), Content(std::move(content))
    {
    }

    std::string Content;
    std::size_t MostPerCall = std::numeric_limits<std::size_t>::max();
    // The Nth read fails after spoiling what it was given; writes fail from the Nth on.
    int FailingRead = 0;
    int FailingWritesFrom = 0;

protected:
    std::size_t ReadAt(char* data, std::size_t count, std::int64_t offset) override
    {
        if (++FReads == FailingRead) {
            std::memset(data, '#', count);
            throw EInOutError("read failed");
        }
        const auto at = static_cast<std::size_t>(offset);
        if (at >= Content.size()) return 0;
        const std::size_t n = std::min({count, MostPerCall, Content.size() - at});
        std::memcpy(data, Content.data() + at, n);
        return n;
    }

    std::size_t WriteAt(const char* data, std::size_t count, std::int64_t offset) override
    {
        if (FailingWritesFrom != 0 && ++FWrites >= FailingWritesFrom) throw EInOutError("write failed");
        const auto at = static_cast<std::size_t>(offset);
        const std::size_t n = std::min(count, MostPerCall);
        if (Content.size() < at + n) Content.resize(at + n, '\0');
        Content.replace(at, n, data, n);
        return n;
    }

    std::int64_t StoredSize() override { return static_cast<std::int64_t>(Content.size()); }
    void RequireOpen() const override {}

private:
    int FReads = 0;
    int FWrites = 0;
};

std::string RandomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

// Buffer size, and the most bytes one transfer below moves.
class BufferedFile : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {
protected:
    TMemoryFile Make(std::string content = "")
    {
        TMemoryFile file(std::move(content), std::get<0>(GetParam()));
        file.MostPerCall = std::get<1>(GetParam());
        return file;
    }
};

TEST_P(BufferedFile, CopiesInOddPiecesArriveByteForByte)
{
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{1024}, std::size_t{1025},
                                   std::size_t{1026}, std::size_t{3 * 1025 + 17}, std::size_t{(1 << 18) + 3}}) {
        const std::string content = RandomBytes(size, static_cast<unsigned>(size));
        TMemoryFile in = Make(content);
        TMemoryFile out = Make();
        std::vector<char> piece(1025);
        while (in.Position() < in.Size()) {
            const std::int64_t got = in.Read(piece.data(), 1025);
            ASSERT_GT(got, 0);
            out.Write(piece.data(), got);
        }
        out.Flush();
        ASSERT_EQ(out.Content, content) << "size " << size;
    }
}

TEST_P(BufferedFile, PositionSizeAndSeekFollowTheBufferedState)
{
    const std::string content = RandomBytes(10000, 7);
    TMemoryFile in = Make(content);
    EXPECT_EQ(in.Size(), 10000);
    char buffer[1025];
    EXPECT_EQ(in.Read(buffer, 1025), 1025);
    EXPECT_EQ(in.Position(), 1025);
    EXPECT_EQ(std::string(buffer, 1025), content.substr(0, 1025));
    in.Seek(9500);
    EXPECT_EQ(in.Read(buffer, 1025), 500);
    EXPECT_EQ(std::string(buffer, 500), content.substr(9500));
    EXPECT_EQ(in.Read(buffer, 1025), 0);
    in.Seek(3);
    EXPECT_EQ(in.Read(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), content.substr(3, 4));
    EXPECT_THROW(in.Seek(-1), EInOutError);

    TMemoryFile out = Make();
    out.Write(content.data(), 3000);
    // Bytes still in the write-behind buffer count.
    EXPECT_EQ(out.Size(), 3000);
    EXPECT_EQ(out.Position(), 3000);
    out.Seek(10);
    out.Write("XY", 2);
    out.Seek(3000);
    out.Write(content.data() + 3000, 7000);
    out.Flush();
    std::string expected = content;
    expected.replace(10, 2, "XY");
    EXPECT_EQ(out.Content, expected);
}

INSTANTIATE_TEST_SUITE_P(SizesAndTransfers, BufferedFile,
                         ::testing::Combine(::testing::Values(std::size_t{1}, std::size_t{7}, std::size_t{1024},
                                                              std::size_t{1025}, TBufferedFile::DefaultBufferSize),
                                            ::testing::Values(std::numeric_limits<std::size_t>::max(),
                                                              std::size_t{3})));

TEST(BufferedFileFailures, AFailedReadLeavesNoReadAheadBehind)
{
    const std::string content = RandomBytes(100, 3);
    TMemoryFile in(content, 16);
    in.FailingRead = 2;
    char buffer[4];
    ASSERT_EQ(in.Read(buffer, 4), 4);  // the first read fills the buffer with bytes 0 to 15
    in.Seek(20);
    EXPECT_THROW(in.Read(buffer, 4), EInOutError);  // the second spoils it while failing
    in.Seek(0);
    ASSERT_EQ(in.Read(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), content.substr(0, 4));
}

TEST(BufferedFileFailures, AFailedWriteIsRaisedOnceAndItsBytesGivenUp)
{
    TMemoryFile out("", 16);
    out.FailingWritesFrom = 1;
    out.Write("0123456789", 10);
    EXPECT_THROW(out.Flush(), EInOutError);
    EXPECT_NO_THROW(out.Flush());
    // A piece too big for the buffer goes straight down and fails at once.
    EXPECT_THROW(out.Write(std::string(40, 'x').data(), 40), EInOutError);
}

}  // namespace
}  // namespace Velmora
