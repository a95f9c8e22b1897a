// Mail: composing and rendering a message with a 10 MB attachment against raw libetpan building
// the same MIME tree, and taking apart 1,000 mixed messages of the test corpus (Python's email
// package and mpack wrote them) against raw libetpan walking the same parts.
#include <benchmark/benchmark.h>
#include <libetpan/libetpan.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <libvux/vuxemail.h>

#include "bench_util.h"

namespace {

const std::string kText = "Hello,\nthe report is attached.\n";

struct Scratch {
    std::string dir;
    Scratch() {
        char tmpl[] = "/tmp/vux_email_bench.XXXXXX";
        if (!::mkdtemp(tmpl)) std::abort();
        dir = tmpl;
    }
    ~Scratch() { (void)std::system(("rm -rf '" + dir + "'").c_str()); }
};

Scratch& Dir() {
    static Scratch s;
    return s;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

const std::string& BigFile() {
    static const std::string path = [] {
        const std::string p = Dir().dir + "/report.bin";
        std::ofstream(p, std::ios::binary) << benchutil::RandomBytes(10 << 20, 3);
        return p;
    }();
    return path;
}

void BM_Vux_Compose10MB(benchmark::State& state) {
    const std::string& file = BigFile();
    std::size_t size = 0;
    for (auto _ : state) {
        vux_email::Message m;
        m.SetFrom("Panel <panel@example.com>")
            .SetTo("admin@example.com")
            .SetSubject("Monthly report")
            .AddTextMsg(kText)
            .AddFileMsg(file);
        const std::string text = m.Str();
        size = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(size);
}

mailmime* RawPart(const char* type, mailmime_fields* fields) {
    mailmime_content* content = mailmime_content_new_with_str(type);
    clist_append(content->ct_parameters, mailmime_param_new_with_data(const_cast<char*>("charset"),
                                                                       const_cast<char*>("utf-8")));
    return mailmime_new_empty(content, fields);
}

void BM_Raw_Libetpan10MB(benchmark::State& state) {
    const std::string& file = BigFile();
    std::size_t size = 0;
    for (auto _ : state) {
        mailmime* message = mailmime_new_message_data(nullptr);
        mailimf_mailbox_list* from = mailimf_mailbox_list_new_empty();
        mailimf_mailbox_list_add_parse(from, const_cast<char*>("Panel <panel@example.com>"));
        mailimf_address_list* to = mailimf_address_list_new_empty();
        mailimf_address_list_add_parse(to, const_cast<char*>("admin@example.com"));
        mailimf_fields* fields = mailimf_fields_new_with_data_all(
            nullptr, from, nullptr, nullptr, to, nullptr, nullptr, mailimf_get_message_id(), nullptr, nullptr,
            strdup("=?utf-8?B?TW9udGhseSByZXBvcnQ=?="));
        mailmime* text = RawPart("text/plain", mailmime_fields_new_encoding(MAILMIME_MECHANISM_BASE64));
        mailmime_set_body_text(text, const_cast<char*>(kText.data()), kText.size());
        mailmime* att = RawPart("application/octet-stream",
                                mailmime_fields_new_filename(MAILMIME_DISPOSITION_TYPE_ATTACHMENT, strdup("report.bin"),
                                                             MAILMIME_MECHANISM_BASE64));
        mailmime_set_body_file(att, strdup(file.c_str()));
        mailmime_smart_add_part(message, text);
        mailmime_smart_add_part(message, att);
        mailmime_set_imf_fields(message, fields);
        MMAPString* out = mmap_string_new("");
        int col = 0;
        mailmime_write_mem(out, &col, message);
        const std::string rendered(out->str, out->len);
        size = rendered.size();
        benchmark::DoNotOptimize(rendered.data());
        mmap_string_free(out);
        mailmime_free(message);
    }
    state.counters["bytes"] = static_cast<double>(size);
}

// 1,000 messages cycling through the corpus the tests build.
const std::vector<std::string>& Messages() {
    static const std::vector<std::string> messages = [] {
        const std::string dir = Dir().dir + "/corpus";
        FILE* p = ::popen(("python3 " VUX_SOURCE_DIR "/tests/mail_corpus.py build " + dir).c_str(), "r");
        if (!p) std::abort();
        std::vector<std::string> names;
        char line[256];
        while (std::fgets(line, sizeof(line), p)) {
            std::string n(line);
            while (!n.empty() && (n.back() == '\n' || n.back() == '\r')) n.pop_back();
            if (!n.empty()) names.push_back(n);
        }
        if (::pclose(p) != 0 || names.empty()) std::abort();
        std::vector<std::string> out;
        for (std::size_t i = 0; i < 1000; ++i) out.push_back(ReadAll(dir + "/" + names[i % names.size()] + ".eml"));
        return out;
    }();
    return messages;
}

void BM_Vux_Parse1000(benchmark::State& state) {
    const std::vector<std::string>& messages = Messages();
    for (auto _ : state) {
        std::size_t parts = 0;
        for (const std::string& source : messages) {
            const vux_email::Message m(source);
            std::vector<vux_email::EmailMsg> texts;
            std::vector<vux_email::EmailFile> files;
            m.GetEmailMsgList(texts);
            m.GetEmailFileList(files);
            benchmark::DoNotOptimize(m.Subject());
            parts += texts.size() + files.size();
        }
        benchmark::DoNotOptimize(parts);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * messages.size()));
}

void RawWalk(mailmessage* msg, mailmime* mime, std::size_t& parts) {
    if (mime->mm_type == MAILMIME_MULTIPLE) {
        for (clistiter* it = clist_begin(mime->mm_data.mm_multipart.mm_mp_list); it; it = clist_next(it))
            RawWalk(msg, static_cast<mailmime*>(clist_content(it)), parts);
    } else if (mime->mm_type == MAILMIME_MESSAGE) {
        if (mime->mm_data.mm_message.mm_msg_mime) RawWalk(msg, mime->mm_data.mm_message.mm_msg_mime, parts);
    } else {
        char* data = nullptr;
        std::size_t len = 0;
        if (mailmessage_fetch_section(msg, mime, &data, &len) != MAIL_NO_ERROR) return;
        mailmime_single_fields f;
        mailmime_single_fields_init(&f, mime->mm_mime_fields, mime->mm_content_type);
        std::size_t index = 0;
        char* decoded = nullptr;
        std::size_t decoded_len = 0;
        if (mailmime_part_parse(data, len, &index, f.fld_encoding ? f.fld_encoding->enc_type : MAILMIME_MECHANISM_8BIT,
                                &decoded, &decoded_len) == MAILIMF_NO_ERROR) {
            if (f.fld_content_charset && !f.fld_disposition_filename) {
                char* converted = nullptr;
                std::size_t converted_len = 0;
                if (charconv_buffer("utf-8", f.fld_content_charset, decoded, decoded_len, &converted, &converted_len) ==
                    MAIL_CHARCONV_NO_ERROR)
                    charconv_buffer_free(converted);
            }
            mmap_string_unref(decoded);
        }
        mailmessage_fetch_result_free(msg, data);
        ++parts;
    }
}

void BM_Raw_LibetpanParse1000(benchmark::State& state) {
    const std::vector<std::string>& messages = Messages();
    for (auto _ : state) {
        std::size_t parts = 0;
        for (const std::string& source : messages) {
            mailmessage* msg = data_message_init(const_cast<char*>(source.data()), source.size());
            mailmime* mime = nullptr;
            if (mailmessage_get_bodystructure(msg, &mime) == MAIL_NO_ERROR) RawWalk(msg, mime, parts);
            mailmessage_free(msg);
        }
        benchmark::DoNotOptimize(parts);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * messages.size()));
}

BENCHMARK(BM_Vux_Compose10MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Raw_Libetpan10MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Vux_Parse1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Raw_LibetpanParse1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
