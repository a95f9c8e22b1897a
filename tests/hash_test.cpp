// Digests against the published vectors of RFC 1321 and FIPS 180 (NIST examples).
#include <sstream>

#include <gtest/gtest.h>

#include <libvux/vuxhash.h>
#include <libvux/vuxstr.h>

#include "test_util.h"

using vux_hash::Hash;

namespace {

std::string Hex(Hash h, const std::string& data) { return str::hex::Encode(h.Update(data).Str()); }

const std::string kAbc = "abc";
const std::string k448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string k896 =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";

}  // namespace

TEST(Hash, PublishedVectors) {
    EXPECT_EQ(Hex(Hash(vux_hash::HashMD5), ""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Hex(Hash(vux_hash::HashMD5), kAbc), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Hex(Hash(vux_hash::HashMD5), "message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Hex(Hash(vux_hash::HashMD5),
                  "12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
    EXPECT_EQ(Hex(Hash(vux_hash::HashSHA1), kAbc), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(Hex(Hash(vux_hash::HashSHA1), k448), "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(Hex(Hash(vux_hash::HashSHA256), ""),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Hex(Hash(vux_hash::HashSHA256), k448),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Hex(Hash(vux_hash::HashSHA512), kAbc),
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
    EXPECT_EQ(Hex(Hash(vux_hash::HashSHA512), k896),
              "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
              "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909");
}

TEST(Hash, MillionAInUnevenPiecesAndRawBytes) {
    Hash sha1(vux_hash::HashSHA1), sha256(vux_hash::HashSHA256), sha512(vux_hash::HashSHA512);
    const std::string a(1000000, 'a');
    for (std::size_t pos = 0, step = 1; pos < a.size(); pos += step, step = step * 3 % 9973 + 1) {
        const std::size_t n = std::min(step, a.size() - pos);
        sha1.Update(a.data() + pos, n);
        sha256.Update(a.data() + pos, n);
        sha512.Update(a.substr(pos, n));
    }
    EXPECT_EQ(str::hex::Encode(sha1.Str()), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(str::hex::Encode(sha256.Str()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(str::hex::Encode(sha512.Str()),
              "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
              "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b");

    Hash abc(vux_hash::HashSHA256);
    abc.Update(kAbc);
    const std::string raw = abc.Str();
    ASSERT_EQ(raw.size(), 32u) << "raw bytes, not hex";
    EXPECT_EQ(raw.substr(0, 4), std::string("\xba\x78\x16\xbf"));
    EXPECT_EQ(abc.Str(), raw) << "the same bytes again";
    Hash copy = abc;
    EXPECT_EQ(static_cast<std::string>(copy), raw) << "copies share the digest";
}

TEST(Hash, Streams) {
    // Longer than one 4096-byte block and not a multiple of it.
    const std::string data = testutil::RandomBytes(3 * 4096 + 17, 5);
    std::istringstream in(data);
    EXPECT_EQ(vux_hash::md5stream(in), Hash(vux_hash::HashMD5).Update(data).Str());
    std::istringstream again(data);
    std::string sha;
    EXPECT_EQ(vux_hash::md5sha256stream(again, sha), Hash(vux_hash::HashMD5).Update(data).Str());
    EXPECT_EQ(sha, Hash(vux_hash::HashSHA256).Update(data).Str());
    std::istringstream vector("message digest");
    EXPECT_EQ(str::hex::Encode(vux_hash::md5stream(vector)), "f96b697d7cb7938d525a2f31aaf161d0");
}

TEST(Hash, Misuse) {
    try {
        Hash bad(static_cast<vux_hash::HashType>(7));
        FAIL();
    } catch (const vux_err::Error& e) {
        EXPECT_EQ(e.type(), "hash");
        EXPECT_EQ(e.object(), "hashtype");
        EXPECT_EQ(e.xml().GetNode("/doc/error/param[@name='type']").Str(), "7");
    }
    auto desc = [](auto f) { return testutil::AssertText(f); };
    EXPECT_EQ(desc([] { Hash().Update("x"); }), "try to update dummy hash");
    EXPECT_EQ(desc([] { Hash().Str(); }), "try to get string of dummy hash");
    EXPECT_EQ(desc([] {
                  Hash h(vux_hash::HashMD5);
                  h.Str();
                  h.Update("x");
              }),
              "yry to update hash after finalizing");
}
