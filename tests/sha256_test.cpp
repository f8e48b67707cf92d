// SHA-256 against the FIPS 180-4 example messages, and the same digest however the message is
// cut into updates (block boundaries and the padding edge at 55/56/64 bytes are where it breaks).
#include <gtest/gtest.h>

#include <string>

#include "hash/Sha256.h"

namespace quillon {
namespace {

TEST(Sha256, StandardVectors) {
    struct Case {
        std::string message;
        const char* digest;
    };
    const Case cases[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) EXPECT_EQ(Sha256::Hex(c.message), c.digest) << c.message.size() << " bytes";
}

TEST(Sha256, SplitUpdatesGiveTheOneShotDigest) {
    std::string message;
    for (int i = 0; i < 300; ++i) message += static_cast<char>(i * 31 + 7);
    for (std::size_t length : {55u, 56u, 63u, 64u, 65u, 119u, 128u, 300u}) {
        const std::string part = message.substr(0, length);
        const std::string whole = Sha256::Hex(part);
        for (std::size_t step : {1u, 3u, 64u, 100u}) {
            Sha256 h;
            for (std::size_t at = 0; at < part.size(); at += step) h.Update(std::string_view(part).substr(at, step));
            EXPECT_EQ(Sha256::ToHex(h.Final()), whole) << "length " << length << " step " << step;
        }
    }
    // Distinct lengths of the same bytes must not collide (the length is in the padding).
    EXPECT_NE(Sha256::Hex(message.substr(0, 55)), Sha256::Hex(message.substr(0, 56)));
}

}  // namespace
}  // namespace quillon
