// Validators: none throws, a failure leaves the value as it was, and a canonical value stays valid
// and unchanged when checked again.
#include <cstdint>
#include <cstdlib>

#include <libvux/vuxtest.h>

namespace {

typedef bool (*Validator)(std::string&);

const Validator kValidators[] = {
    &test::NotEmpty,    &test::Numeric,          &test::AsciiPrintable,
    &test::FileName,    &test::Path,             &test::FileNameList,
    &test::UnixUserName, &test::Date,            &test::DotNumberSequence,
    &test::Ip4,         &test::Ip6,              &test::Ip,
    &test::Net,         &test::NetMask6,         &test::NetMask4,
    &test::NetMask,     &test::IpRange,          &test::Mac,
    &test::HostName,    &test::SubDomain,        &test::WithAster<&test::SubDomain>,
    &test::Domain,      &test::DomainRecordName, &test::SrvRecordTarget,
    &test::Email,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    for (Validator f : kValidators) {
        std::string value = in;
        if (!f(value)) {
            if (value != in) abort();
            continue;
        }
        std::string again = value;
        if (!f(again) || again != value) abort();
    }
    // These two may change a value they refuse; they must still settle.
    std::string key = in;
    test::TsigKey(key);
    std::string trimmed = key;
    test::TsigKey(trimmed);
    if (trimmed != key) abort();
    std::string url = in;
    if (test::Url(url)) {
        std::string again = url;
        test::Url(again);
    }
    return 0;
}
