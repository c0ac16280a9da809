// The table-driven bulk decoder gives the same bytes and counts as the codec's own text
// decoder, for well-formed lines and for anything else a server may send.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"

namespace {

TEST(Base64Bulk, SameBytesAsTheTextDecoder) {
    std::mt19937 gen(2045);
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=\r\n \t*";
    for (int round = 0; round < 3000; ++round) {
        const size_t len = gen() % 200;
        std::string in(len, 'A');
        for (char &c : in) c = round % 3 == 0 ? static_cast<char>(gen() & 0xFF) : alphabet[gen() % alphabet.size()];
        std::vector<uint8_t> a(len + 8, 0xEE), b(len + 8, 0xEE);
        const int32_t na = zem::Base64DecodeText(in.data(), static_cast<int32_t>(len), a.data());
        const int32_t nb = zem::Base64DecodeTextBulk(in.data(), static_cast<int32_t>(len), b.data());
        ASSERT_EQ(na, nb) << round;
        ASSERT_EQ(a, b) << round; // the zero bytes after the result too
    }
    uint8_t out[16];
    EXPECT_EQ(zem::Base64DecodeTextBulk("YWJj\r\n", 6, out), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 3), "abc");
    EXPECT_EQ(zem::Base64DecodeTextBulk("YQ==", 4, out), 1);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(zem::Base64DecodeTextBulk(nullptr, 4, out), 0);
}

} // namespace
