// The fast base64 encoder against the plain bit-accumulator kept in the tests, byte for byte, and
// the two facts the attachment road builds on: Base64EncodedSize is the exact size (the output
// buffer is exactly that big, so a write past it is a heap overflow), and encodings of pieces cut
// at whole 57-byte lines join into the encoding of the whole.
//
// Input: the bytes to encode; the first byte also chooses where the cut falls.
#include "fuzz_check.h"
#include "mail/message/base64.h"
#include "reference_base64.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string expected = vtest::ReferenceBase64(data, size);

    FUZZ_CHECK(mail::Base64Encode(data, static_cast<std::int32_t>(size)) == expected);
    FUZZ_CHECK(mail::Base64Encode(std::string(reinterpret_cast<const char*>(data), size)) ==
               expected);

    const std::size_t exact = mail::Base64EncodedSize(size);
    FUZZ_CHECK(exact == expected.size());
    const auto out = std::make_unique<char[]>(exact);
    FUZZ_CHECK(mail::Base64EncodeTo(data, size, out.get()) == exact);
    FUZZ_CHECK(std::memcmp(out.get(), expected.data(), exact) == 0);

    if (size > 0) {
        constexpr std::size_t kLineBytes = 57;
        const std::size_t cut = kLineBytes * (data[0] % (size / kLineBytes + 1));
        const auto len = [](std::size_t n) { return static_cast<std::int32_t>(n); };
        const std::string joined =
            mail::Base64Encode(data, len(cut)) + mail::Base64Encode(data + cut, len(size - cut));
        FUZZ_CHECK(joined == expected);
    }
    return 0;
}
