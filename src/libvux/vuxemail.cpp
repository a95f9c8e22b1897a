#include <libvux/vuxemail.h>

#include <fcntl.h>
#include <libetpan/libetpan.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <new>

#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>

VUX_LOG_MODULE("gateway", "core")

namespace vux_email {

Fail::Fail(const std::string& object, const std::string& value) : vux_err::Error("email", object, value) {}

namespace {

char* Dup(const std::string& s) {
    char* out = ::strdup(s.c_str());
    if (!out) throw std::bad_alloc();
    return out;
}

char* DupOrNull(const char* s) {
    if (!s) return nullptr;
    char* out = ::strdup(s);
    if (!out) throw std::bad_alloc();
    return out;
}

template <class T>
T* Check(T* p) {
    if (!p) throw std::bad_alloc();
    return p;
}

// Header text must not carry line breaks: a CR or LF in a name or value would start a header
// of the caller's choosing.
std::string OneLine(const std::string& s) {
    std::string out(s);
    for (char& c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}

// Deep copies, so that the record owns what it holds whatever it was built from.
mailimf_mailbox* CopyMailbox(const mailimf_mailbox* mb) {
    std::unique_ptr<char, decltype(&::free)> name(DupOrNull(mb->mb_display_name), ::free);
    std::unique_ptr<char, decltype(&::free)> addr(DupOrNull(mb->mb_addr_spec ? mb->mb_addr_spec : ""), ::free);
    mailimf_mailbox* out = Check(mailimf_mailbox_new(name.get(), addr.get()));
    name.release();
    addr.release();
    return out;
}

void AppendMailboxes(mailimf_mailbox_list* to, const mailimf_mailbox_list* from) {
    if (!from) return;
    for (clistiter* it = clist_begin(from->mb_list); it; it = clist_next(it)) {
        mailimf_mailbox* mb = CopyMailbox(static_cast<mailimf_mailbox*>(clist_content(it)));
        if (mailimf_mailbox_list_add(to, mb) != MAILIMF_NO_ERROR) {
            mailimf_mailbox_free(mb);
            throw std::bad_alloc();
        }
    }
}

mailimf_mailbox_list* CopyMailboxList(const mailimf_mailbox_list* from) {
    if (!from) return nullptr;
    std::unique_ptr<mailimf_mailbox_list, decltype(&mailimf_mailbox_list_free)> out(
        Check(mailimf_mailbox_list_new_empty()), mailimf_mailbox_list_free);
    AppendMailboxes(out.get(), from);
    return out.release();
}

mailimf_address* CopyAddress(const mailimf_address* a) {
    if (a->ad_type == MAILIMF_ADDRESS_MAILBOX) {
        mailimf_mailbox* mb = CopyMailbox(a->ad_data.ad_mailbox);
        mailimf_address* out = mailimf_address_new(MAILIMF_ADDRESS_MAILBOX, mb, nullptr);
        if (!out) {
            mailimf_mailbox_free(mb);
            throw std::bad_alloc();
        }
        return out;
    }
    const mailimf_group* g = a->ad_data.ad_group;
    std::unique_ptr<char, decltype(&::free)> name(DupOrNull(g->grp_display_name ? g->grp_display_name : ""), ::free);
    std::unique_ptr<mailimf_mailbox_list, decltype(&mailimf_mailbox_list_free)> list(
        CopyMailboxList(g->grp_mb_list), mailimf_mailbox_list_free);
    mailimf_group* group = Check(mailimf_group_new(name.get(), list.get()));
    name.release();
    list.release();
    mailimf_address* out = mailimf_address_new(MAILIMF_ADDRESS_GROUP, nullptr, group);
    if (!out) {
        mailimf_group_free(group);
        throw std::bad_alloc();
    }
    return out;
}

void AppendAddresses(mailimf_address_list* to, const mailimf_address_list* from) {
    if (!from) return;
    for (clistiter* it = clist_begin(from->ad_list); it; it = clist_next(it)) {
        mailimf_address* a = CopyAddress(static_cast<mailimf_address*>(clist_content(it)));
        if (mailimf_address_list_add(to, a) != MAILIMF_NO_ERROR) {
            mailimf_address_free(a);
            throw std::bad_alloc();
        }
    }
}

mailimf_address_list* CopyAddressList(const mailimf_address_list* from) {
    if (!from) return nullptr;
    std::unique_ptr<mailimf_address_list, decltype(&mailimf_address_list_free)> out(
        Check(mailimf_address_list_new_empty()), mailimf_address_list_free);
    AppendAddresses(out.get(), from);
    return out.release();
}

void FreeIds(clist* ids) {
    if (!ids) return;
    for (clistiter* it = clist_begin(ids); it; it = clist_next(it)) ::free(clist_content(it));
    clist_free(ids);
}

void AppendId(clist* ids, const char* id) {
    char* copy = DupOrNull(id);
    if (clist_append(ids, copy) != 0) {
        ::free(copy);
        throw std::bad_alloc();
    }
}

clist* CopyIds(const clist* from) {
    if (!from) return nullptr;
    std::unique_ptr<clist, decltype(&FreeIds)> out(Check(clist_new()), FreeIds);
    for (clistiter* it = clist_begin(from); it; it = clist_next(it))
        AppendId(out.get(), static_cast<const char*>(clist_content(it)));
    return out.release();
}

// "name <address>", or the bare address; "" for a mailbox without either.
std::string MailboxText(const mailimf_mailbox* mb, bool bare) {
    const std::string addr = mb->mb_addr_spec ? mb->mb_addr_spec : "";
    if (bare || !mb->mb_display_name || !*mb->mb_display_name) return addr;
    return std::string(mb->mb_display_name) + " <" + addr + ">";
}

void AddMailboxTexts(const mailimf_mailbox_list* list, bool bare, StringVector& out) {
    if (!list) return;
    for (clistiter* it = clist_begin(list->mb_list); it; it = clist_next(it)) {
        std::string s = MailboxText(static_cast<mailimf_mailbox*>(clist_content(it)), bare);
        if (!s.empty()) out.push_back(s);
    }
}

StringVector AddressTexts(const mailimf_address_list* list, bool bare) {
    StringVector out;
    if (!list) return out;
    for (clistiter* it = clist_begin(list->ad_list); it; it = clist_next(it)) {
        const mailimf_address* a = static_cast<mailimf_address*>(clist_content(it));
        if (a->ad_type == MAILIMF_ADDRESS_MAILBOX) {
            std::string s = MailboxText(a->ad_data.ad_mailbox, bare);
            if (!s.empty()) out.push_back(s);
        } else if (a->ad_data.ad_group) {
            AddMailboxTexts(a->ad_data.ad_group->grp_mb_list, bare, out);
        }
    }
    return out;
}

StringVector IdTexts(const clist* ids) {
    StringVector out;
    if (!ids) return out;
    for (clistiter* it = clist_begin(ids); it; it = clist_next(it))
        if (clist_content(it)) out.push_back(static_cast<const char*>(clist_content(it)));
    return out;
}

bool OnlyBlanks(const std::string& text, std::size_t from) {
    for (std::size_t i = from; i < text.size(); ++i)
        if (text[i] != ' ' && text[i] != '\t' && text[i] != '\r' && text[i] != '\n') return false;
    return true;
}

// The addresses of `text` appended to `*list` (made when null). False when the text does not
// parse whole; what did parse is kept unless `whole` asks for all or nothing.
bool ParseAddresses(const std::string& text, mailimf_address_list*& list, bool whole = false) {
    std::size_t index = 0;
    mailimf_address_list* parsed = nullptr;
    const int r = mailimf_address_list_parse(text.data(), text.size(), &index, &parsed);
    if (r != MAILIMF_NO_ERROR) return false;
    std::unique_ptr<mailimf_address_list, decltype(&mailimf_address_list_free)> guard(parsed,
                                                                                    mailimf_address_list_free);
    const bool complete = OnlyBlanks(text, index);
    if (whole && !complete) return false;
    if (!list) list = Check(mailimf_address_list_new_empty());
    AppendAddresses(list, parsed);
    return complete;
}

bool ParseMailboxes(const std::string& text, mailimf_mailbox_list*& list) {
    std::size_t index = 0;
    mailimf_mailbox_list* parsed = nullptr;
    const int r = mailimf_mailbox_list_parse(text.data(), text.size(), &index, &parsed);
    if (r != MAILIMF_NO_ERROR) return false;
    std::unique_ptr<mailimf_mailbox_list, decltype(&mailimf_mailbox_list_free)> guard(parsed,
                                                                                    mailimf_mailbox_list_free);
    if (!list) list = Check(mailimf_mailbox_list_new_empty());
    AppendMailboxes(list, parsed);
    return OnlyBlanks(text, index);
}

mailimf_mailbox* NewMailbox(const std::string& name, const std::string& address) {
    std::unique_ptr<char, decltype(&::free)> n(name.empty() ? nullptr : Dup(OneLine(name)), ::free);
    std::unique_ptr<char, decltype(&::free)> a(Dup(OneLine(address)), ::free);
    mailimf_mailbox* out = Check(mailimf_mailbox_new(n.get(), a.get()));
    n.release();
    a.release();
    return out;
}

// Width of the UTF-8 character that starts with `lead`; a stray byte counts as one.
std::size_t Utf8Width(unsigned char lead) {
    if (lead >= 0xF0 && lead < 0xF8) return 4;
    if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
    if (lead >= 0xC0) return 2;
    return 1;
}

// Text of encoded words in UTF-8; null when it does not decode.
bool DecodeWords(const std::string& text, std::string& out) {
    std::size_t index = 0;
    char* decoded = nullptr;
    if (mailmime_encoded_phrase_parse("utf-8", text.data(), text.size(), &index, "utf-8", &decoded) !=
            MAILIMF_NO_ERROR ||
        !decoded)
        return false;
    out = decoded;
    ::free(decoded);
    return true;
}

// `data` from `charset` into UTF-8; the data unchanged when the converter does not know the
// charset or cannot convert it, since the text is still worth more than nothing.
std::string ToUtf8(const std::string& data, const std::string& charset) {
    char* result = nullptr;
    std::size_t len = 0;
    const int r = charconv_buffer("utf-8", charset.c_str(), data.data(), data.size(), &result, &len);
    if (r != MAIL_CHARCONV_NO_ERROR || !result) {
        VUX_LOG(VuxLogModule(), 4, "%s:%d cannot convert from '%s' (%d), text kept as it is", VUX_SOURCE_NAME,
                __LINE__, charset.c_str(), r);
        if (result) charconv_buffer_free(result);
        return data;
    }
    std::string out(result, len);
    charconv_buffer_free(result);
    return out;
}

int FromHex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string PercentDecode(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        int hi, lo;
        if (s[i] == '%' && i + 2 < s.size() && (hi = FromHex(s[i + 1])) >= 0 && (lo = FromHex(s[i + 2])) >= 0) {
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// A parameter `base` given in RFC 2231 form ("name*", "name*0*", "name*1", ...) joined and
// decoded to UTF-8; false when there is none.
class Rfc2231 {
public:
    explicit Rfc2231(const std::string& base) : base_(str::Lower(base)) {}

    void Add(const char* name, const char* value) {
        if (!name || !value) return;
        const std::string n = str::Lower(name);
        if (n.size() <= base_.size() || n.compare(0, base_.size(), base_) != 0 || n[base_.size()] != '*') return;
        std::string rest = n.substr(base_.size() + 1);
        bool encoded = false;
        if (!rest.empty() && rest.back() == '*') {
            encoded = true;
            rest.pop_back();
        }
        int section = 0;
        if (rest.empty()) {
            encoded = true;
        } else {
            if (rest.size() > 4 || rest.find_first_not_of("0123456789") != std::string::npos) return;
            section = std::atoi(rest.c_str());
        }
        sections_[section] = std::make_pair(encoded, std::string(value));
    }

    bool Get(std::string& out) const {
        if (sections_.empty()) return false;
        std::string charset, text;
        for (const auto& [index, piece] : sections_) {
            std::string value = piece.second;
            if (piece.first) {
                if (index == sections_.begin()->first) {
                    const std::string::size_type q1 = value.find('\'');
                    const std::string::size_type q2 = q1 == std::string::npos ? q1 : value.find('\'', q1 + 1);
                    if (q2 != std::string::npos) {
                        charset = value.substr(0, q1);
                        value.erase(0, q2 + 1);
                    }
                }
                value = PercentDecode(value);
            }
            text += value;
        }
        out = charset.empty() || str::Lower(charset) == "utf-8" ? text : ToUtf8(text, charset);
        return true;
    }

private:
    std::string base_;
    std::map<int, std::pair<bool, std::string>> sections_;
};

// The file name a part carries, decoded; false when it carries none.
bool PartFileName(const mailmime* part, std::string& name) {
    Rfc2231 disposition("filename"), content("name");
    if (part->mm_mime_fields) {
        for (clistiter* it = clist_begin(part->mm_mime_fields->fld_list); it; it = clist_next(it)) {
            const mailmime_field* f = static_cast<mailmime_field*>(clist_content(it));
            if (f->fld_type != MAILMIME_FIELD_DISPOSITION || !f->fld_data.fld_disposition) continue;
            for (clistiter* p = clist_begin(f->fld_data.fld_disposition->dsp_parms); p; p = clist_next(p)) {
                const mailmime_disposition_parm* parm = static_cast<mailmime_disposition_parm*>(clist_content(p));
                if (parm->pa_type == MAILMIME_DISPOSITION_PARM_PARAMETER && parm->pa_data.pa_parameter)
                    disposition.Add(parm->pa_data.pa_parameter->pa_name, parm->pa_data.pa_parameter->pa_value);
            }
        }
    }
    if (part->mm_content_type && part->mm_content_type->ct_parameters) {
        for (clistiter* p = clist_begin(part->mm_content_type->ct_parameters); p; p = clist_next(p)) {
            const mailmime_parameter* parm = static_cast<mailmime_parameter*>(clist_content(p));
            content.Add(parm->pa_name, parm->pa_value);
        }
    }
    if (disposition.Get(name)) return true;

    mailmime_single_fields fields;
    mailmime_single_fields_init(&fields, part->mm_mime_fields, part->mm_content_type);
    const char* raw = fields.fld_disposition_filename;
    if (!raw || !*raw) {
        if (content.Get(name)) return true;
        raw = fields.fld_content_name;
    }
    if (!raw || !*raw) return false;
    name = raw;
    std::string decoded;
    if (name.find("=?") != std::string::npos && DecodeWords(name, decoded)) name = decoded;
    return true;
}

std::string ContentTypeText(const mailmime_content* content) {
    if (!content || !content->ct_type) return "error";
    std::string type;
    const mailmime_type* t = content->ct_type;
    if (t->tp_type == MAILMIME_TYPE_DISCRETE_TYPE && t->tp_data.tp_discrete_type) {
        switch (t->tp_data.tp_discrete_type->dt_type) {
        case MAILMIME_DISCRETE_TYPE_TEXT: type = "text"; break;
        case MAILMIME_DISCRETE_TYPE_IMAGE: type = "image"; break;
        case MAILMIME_DISCRETE_TYPE_AUDIO: type = "audio"; break;
        case MAILMIME_DISCRETE_TYPE_VIDEO: type = "video"; break;
        case MAILMIME_DISCRETE_TYPE_APPLICATION: type = "application"; break;
        case MAILMIME_DISCRETE_TYPE_EXTENSION:
            type = t->tp_data.tp_discrete_type->dt_extension ? t->tp_data.tp_discrete_type->dt_extension : "";
            break;
        default: type = "error";
        }
    } else if (t->tp_type == MAILMIME_TYPE_COMPOSITE_TYPE && t->tp_data.tp_composite_type) {
        switch (t->tp_data.tp_composite_type->ct_type) {
        case MAILMIME_COMPOSITE_TYPE_MESSAGE: type = "message"; break;
        case MAILMIME_COMPOSITE_TYPE_MULTIPART: type = "multipart"; break;
        case MAILMIME_COMPOSITE_TYPE_EXTENSION:
            type = t->tp_data.tp_composite_type->ct_token ? t->tp_data.tp_composite_type->ct_token : "";
            break;
        default: type = "error";
        }
    } else {
        type = "error";
    }
    type += "/";
    if (content->ct_subtype) type += content->ct_subtype;
    if (content->ct_parameters) {
        for (clistiter* p = clist_begin(content->ct_parameters); p; p = clist_next(p)) {
            const mailmime_parameter* parm = static_cast<mailmime_parameter*>(clist_content(p));
            type += "; " + std::string(parm->pa_name ? parm->pa_name : "") + "=\"" +
                    (parm->pa_value ? parm->pa_value : "") + "\"";
        }
    }
    return type;
}

std::string EncodingText(const mailmime_fields* fields) {
    if (!fields) return "7bit";
    for (clistiter* it = clist_begin(fields->fld_list); it; it = clist_next(it)) {
        const mailmime_field* f = static_cast<mailmime_field*>(clist_content(it));
        if (f->fld_type != MAILMIME_FIELD_TRANSFER_ENCODING || !f->fld_data.fld_encoding) continue;
        switch (f->fld_data.fld_encoding->enc_type) {
        case MAILMIME_MECHANISM_7BIT: return "7bit";
        case MAILMIME_MECHANISM_8BIT: return "8bit";
        case MAILMIME_MECHANISM_BINARY: return "binary";
        case MAILMIME_MECHANISM_QUOTED_PRINTABLE: return "printable";
        case MAILMIME_MECHANISM_BASE64: return "base64";
        case MAILMIME_MECHANISM_TOKEN:
            return f->fld_data.fld_encoding->enc_token ? f->fld_data.fld_encoding->enc_token : "";
        default: return "error";
        }
    }
    return "7bit";
}

unsigned MimeVersion(const mailmime* mime) {
    mailmime_single_fields f;
    mailmime_single_fields_init(&f, mime->mm_mime_fields, mime->mm_content_type);
    return static_cast<unsigned>(f.fld_version);
}

// The MIME fields libetpan writes itself; copies of them from a parsed header would stand twice.
bool MimeManaged(const std::string& name) {
    const std::string n = str::Lower(name);
    return n == "mime-version" || n == "content-type" || n == "content-transfer-encoding" ||
           n == "content-disposition";
}

}  // namespace

struct Message::Implementation {
    struct Part {
        mailmime* mime = nullptr;
        // Parts found in a parsed message belong to its tree.
        bool owned = false;
        // The body of a text part: libetpan points into it and does not copy.
        std::unique_ptr<std::string> text;
    };

    std::string charset = "utf-8";
    std::string subject;
    std::string message_id;
    mailmessage* parsed = nullptr;
    std::unique_ptr<std::string> source;
    mailimf_mailbox_list* from = nullptr;
    mailimf_mailbox* sender = nullptr;
    mailimf_address_list* to = nullptr;
    mailimf_address_list* reply_to = nullptr;
    mailimf_address_list* cc = nullptr;
    mailimf_address_list* bcc = nullptr;
    clist* in_reply_to = nullptr;
    clist* references = nullptr;
    StringMap optional;
    std::vector<Part> parts;

    Implementation() = default;
    Implementation(const Implementation&) = delete;
    Implementation& operator=(const Implementation&) = delete;

    ~Implementation() {
        for (Part& p : parts)
            if (p.owned) mailmime_free(p.mime);
        ClearFrom();
        ClearSender();
        ClearAddresses(to);
        ClearAddresses(reply_to);
        ClearAddresses(cc);
        ClearAddresses(bcc);
        FreeIds(in_reply_to);
        FreeIds(references);
        if (parsed) mailmessage_free(parsed);
    }

    void ClearFrom() {
        VUX_LOG(VuxLogModule(), 8, "%s", __PRETTY_FUNCTION__);
        if (from) mailimf_mailbox_list_free(from);
        from = nullptr;
    }
    void ClearSender() {
        VUX_LOG(VuxLogModule(), 8, "%s", __PRETTY_FUNCTION__);
        if (sender) mailimf_mailbox_free(sender);
        sender = nullptr;
    }
    static void ClearAddresses(mailimf_address_list*& list) {
        if (list) mailimf_address_list_free(list);
        list = nullptr;
    }

    void AddMailboxToList(mailimf_address_list*& list, const std::string& name, const std::string& address) {
        mailimf_mailbox* mb = NewMailbox(name, address);
        mailimf_address* a = mailimf_address_new(MAILIMF_ADDRESS_MAILBOX, mb, nullptr);
        if (!a) {
            mailimf_mailbox_free(mb);
            throw std::bad_alloc();
        }
        if (!list) list = mailimf_address_list_new_empty();
        if (!list || mailimf_address_list_add(list, a) != MAILIMF_NO_ERROR) {
            mailimf_address_free(a);
            throw std::bad_alloc();
        }
    }

    void AddPart(mailmime* mime, std::unique_ptr<std::string> text) {
        Part p;
        p.mime = mime;
        p.owned = true;
        p.text = std::move(text);
        try {
            parts.push_back(std::move(p));
        } catch (...) {
            mailmime_free(mime);
            throw;
        }
    }

    void Parse(const std::string& text);
    void CopyFields(const mailimf_fields* fields);
    void Walk(mailmime* mime, int depth);
    mailimf_fields* BuildFields() const;
    std::string Render();
    // The decoded body of a part found in the parsed message.
    bool FetchDecoded(mailmime* part, std::string& out) const;
};

namespace {

// A content type with the message charset; Fail "content_type" when the text is not one.
mailmime_content* NewContent(const std::string& type, const std::string& charset) {
    mailmime_content* content = mailmime_content_new_with_str(OneLine(type).c_str());
    if (!content) throw Fail("content_type", type);
    mailmime_parameter* param = mailmime_param_new_with_data(const_cast<char*>("charset"), const_cast<char*>(charset.c_str()));
    if (!param || clist_append(content->ct_parameters, param) != 0) {
        if (param) mailmime_parameter_free(param);
        mailmime_content_free(content);
        throw std::bad_alloc();
    }
    return content;
}

mailmime* NewPart(mailmime_content* content, mailmime_fields* fields) {
    mailmime* part = mailmime_new_empty(content, fields);
    if (!part) {
        mailmime_content_free(content);
        mailmime_fields_free(fields);
        throw std::bad_alloc();
    }
    return part;
}

// Owns an MMAPString for the length of a call.
class MemString {
public:
    MemString() : s_(mmap_string_new("")) {
        if (!s_) throw std::bad_alloc();
    }
    ~MemString() { mmap_string_free(s_); }
    MemString(const MemString&) = delete;
    MemString& operator=(const MemString&) = delete;
    MMAPString* get() const { return s_; }
    std::string str() const { return std::string(s_->str, s_->len); }

private:
    MMAPString* s_;
};

// The tree Str() renders: the record's own parts are lent to it and taken back at the end,
// parts of a parsed message are copied in.
class RenderTree {
public:
    RenderTree() : root_(mailmime_new_message_data(nullptr)) {
        if (!root_) throw std::bad_alloc();
    }
    ~RenderTree() {
        for (auto it = lent_.rbegin(); it != lent_.rend(); ++it) mailmime_remove_part(*it);
        for (auto it = copies_.rbegin(); it != copies_.rend(); ++it) mailmime_remove_part(*it);
        for (mailmime* c : copies_) mailmime_free(c);
        mailmime_free(root_);
    }
    RenderTree(const RenderTree&) = delete;
    RenderTree& operator=(const RenderTree&) = delete;

    mailmime* root() const { return root_; }

    void Lend(mailmime* part) {
        lent_.reserve(lent_.size() + 1);
        Add(part);
        lent_.push_back(part);
    }

    void Copy(const mailmime* part) {
        MemString text;
        int col = 0;
        const int w = mailmime_write_mem(text.get(), &col, const_cast<mailmime*>(part));
        if (w != MAILIMF_NO_ERROR) throw Fail("mailmime_write_mem", std::to_string(w));
        buffers_.push_back(text.str());
        std::size_t index = 0;
        mailmime* copy = nullptr;
        const int r = mailmime_parse(buffers_.back().data(), buffers_.back().size(), &index, &copy);
        if (r != MAILIMF_NO_ERROR || !copy) throw Fail("mailmime_parse", std::to_string(r));
        copies_.reserve(copies_.size() + 1);
        copies_.push_back(copy);
        Add(copy);
    }

private:
    void Add(mailmime* part) {
        const int r = mailmime_smart_add_part(root_, part);
        if (r != MAILIMF_NO_ERROR) throw Fail("mailmime_smart_add_part", std::to_string(r));
    }

    mailmime* root_;
    std::vector<mailmime*> lent_;
    std::vector<mailmime*> copies_;
    std::list<std::string> buffers_;
};

// libetpan folds before a first word that does not fit the line, and an encoded subject's
// first word never fits: readers then take the fold's blank for a leading space of the subject.
std::string JoinSubjectFold(std::string text) {
    static const std::string kFolded = "Subject: \r\n ";
    const std::string::size_type end = text.find("\r\n\r\n");
    std::string::size_type at = text.compare(0, kFolded.size(), kFolded) == 0 ? 0 : text.find("\r\n" + kFolded);
    if (at == std::string::npos || at > end) return text;
    if (at != 0) at += 2;
    text.erase(at + kFolded.size() - 3, 3);
    return text;
}

// An attachment is read by libetpan while rendering; a file it cannot read would leave a
// message without it, so that is found out first.
void CheckReadable(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw vux_file::Fail("open_r", path);
    struct stat st;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!regular) throw vux_file::Fail("not_file", path);
}

}  // namespace

mailimf_fields* Message::Implementation::BuildFields() const {
    std::unique_ptr<mailimf_mailbox_list, decltype(&mailimf_mailbox_list_free)> f(CopyMailboxList(from),
                                                                                mailimf_mailbox_list_free);
    std::unique_ptr<mailimf_mailbox, decltype(&mailimf_mailbox_free)> s(sender ? CopyMailbox(sender) : nullptr,
                                                                      mailimf_mailbox_free);
    using AddrList = std::unique_ptr<mailimf_address_list, decltype(&mailimf_address_list_free)>;
    AddrList rt(CopyAddressList(reply_to), mailimf_address_list_free);
    AddrList t(CopyAddressList(to), mailimf_address_list_free);
    AddrList c(CopyAddressList(cc), mailimf_address_list_free);
    AddrList b(CopyAddressList(bcc), mailimf_address_list_free);
    std::unique_ptr<char, decltype(&::free)> id(message_id.empty() ? nullptr : Dup(OneLine(message_id)), ::free);
    std::unique_ptr<clist, decltype(&FreeIds)> irt(CopyIds(in_reply_to), FreeIds);
    std::unique_ptr<clist, decltype(&FreeIds)> refs(CopyIds(references), FreeIds);
    std::unique_ptr<char, decltype(&::free)> subj(subject.empty() ? nullptr : Dup(OneLine(subject)), ::free);

    mailimf_fields* fields = mailimf_fields_new_with_data_all(nullptr, f.get(), s.get(), rt.get(), t.get(), c.get(),
                                                              b.get(), id.get(), irt.get(), refs.get(), subj.get());
    if (!fields) throw std::bad_alloc();
    f.release(), s.release(), rt.release(), t.release(), c.release(), b.release();
    id.release(), irt.release(), refs.release(), subj.release();
    std::unique_ptr<mailimf_fields, decltype(&mailimf_fields_free)> guard(fields, mailimf_fields_free);

    for (const auto& [name, value] : optional) {
        if (name.empty() || (parsed && MimeManaged(name))) continue;
        VUX_LOG(VuxLogModule(), 9, "%s:%d optional: %s = %s", VUX_SOURCE_NAME, __LINE__, name.c_str(), value.c_str());
        std::string n = OneLine(name);
        for (char& ch : n)
            if (ch == ':' || ch == ' ') ch = '-';
        std::unique_ptr<char, decltype(&::free)> fn(Dup(n), ::free);
        std::unique_ptr<char, decltype(&::free)> fv(Dup(OneLine(value)), ::free);
        mailimf_field* field = Check(mailimf_field_new_custom(fn.get(), fv.get()));
        fn.release(), fv.release();
        if (mailimf_fields_add(fields, field) != MAILIMF_NO_ERROR) {
            mailimf_field_free(field);
            throw std::bad_alloc();
        }
    }
    return guard.release();
}

std::string Message::Implementation::Render() {
    RenderTree tree;
    if (message_id.empty()) {
        std::unique_ptr<char, decltype(&::free)> id(mailimf_get_message_id(), ::free);
        if (!id) throw std::bad_alloc();
        message_id = id.get();
    }
    mailimf_fields* fields = BuildFields();
    mailmime_set_imf_fields(tree.root(), fields);

    VUX_LOG(VuxLogModule(), 9, "%s:%d _parts size: %d", VUX_SOURCE_NAME, __LINE__, static_cast<int>(parts.size()));
    for (const Part& p : parts) {
        if (!p.owned) {
            tree.Copy(p.mime);
            continue;
        }
        if (p.mime->mm_type == MAILMIME_SINGLE && p.mime->mm_data.mm_single &&
            p.mime->mm_data.mm_single->dt_type == MAILMIME_DATA_FILE)
            CheckReadable(p.mime->mm_data.mm_single->dt_data.dt_filename);
        tree.Lend(p.mime);
    }

    MemString out;
    int col = 0;
    const int r = mailmime_write_mem(out.get(), &col, tree.root());
    if (r != MAILIMF_NO_ERROR) throw Fail("mailmime_write_mem", std::to_string(r));
    return JoinSubjectFold(out.str());
}

void Message::Implementation::Parse(const std::string& text) {
    VUX_LOG(VuxLogModule(), 9, "%s:%d parse from source", VUX_SOURCE_NAME, __LINE__);
    source = std::make_unique<std::string>(text);
    parsed = data_message_init(source->data(), source->size());
    if (!parsed) throw std::bad_alloc();
    mailmime* mime = nullptr;
    const int r = mailmessage_get_bodystructure(parsed, &mime);
    if (r != MAIL_NO_ERROR || !mime) throw Fail("parse", std::to_string(r));
    if (mime->mm_type == MAILMIME_MESSAGE) CopyFields(mime->mm_data.mm_message.mm_fields);
    Walk(mime, 0);
}

void Message::Implementation::CopyFields(const mailimf_fields* fields) {
    if (!fields) return;
    for (clistiter* it = clist_begin(fields->fld_list); it; it = clist_next(it)) {
        const mailimf_field* f = static_cast<mailimf_field*>(clist_content(it));
        switch (f->fld_type) {
        case MAILIMF_FIELD_ORIG_DATE: break;
        case MAILIMF_FIELD_FROM:
            if (!from) from = Check(mailimf_mailbox_list_new_empty());
            AppendMailboxes(from, f->fld_data.fld_from->frm_mb_list);
            break;
        case MAILIMF_FIELD_SENDER:
            ClearSender();
            if (f->fld_data.fld_sender->snd_mb) sender = CopyMailbox(f->fld_data.fld_sender->snd_mb);
            break;
        case MAILIMF_FIELD_REPLY_TO:
            if (!reply_to) reply_to = Check(mailimf_address_list_new_empty());
            AppendAddresses(reply_to, f->fld_data.fld_reply_to->rt_addr_list);
            break;
        case MAILIMF_FIELD_TO:
            if (!to) to = Check(mailimf_address_list_new_empty());
            AppendAddresses(to, f->fld_data.fld_to->to_addr_list);
            break;
        case MAILIMF_FIELD_CC:
            if (!cc) cc = Check(mailimf_address_list_new_empty());
            AppendAddresses(cc, f->fld_data.fld_cc->cc_addr_list);
            break;
        case MAILIMF_FIELD_BCC:
            if (!bcc) bcc = Check(mailimf_address_list_new_empty());
            AppendAddresses(bcc, f->fld_data.fld_bcc->bcc_addr_list);
            break;
        case MAILIMF_FIELD_MESSAGE_ID:
            message_id = f->fld_data.fld_message_id->mid_value ? f->fld_data.fld_message_id->mid_value : "";
            break;
        case MAILIMF_FIELD_IN_REPLY_TO:
            if (!in_reply_to) in_reply_to = Check(clist_new());
            for (clistiter* i = clist_begin(f->fld_data.fld_in_reply_to->mid_list); i; i = clist_next(i))
                AppendId(in_reply_to, static_cast<const char*>(clist_content(i)));
            break;
        case MAILIMF_FIELD_REFERENCES:
            if (!references) references = Check(clist_new());
            for (clistiter* i = clist_begin(f->fld_data.fld_references->mid_list); i; i = clist_next(i))
                AppendId(references, static_cast<const char*>(clist_content(i)));
            break;
        case MAILIMF_FIELD_SUBJECT:
            subject = f->fld_data.fld_subject->sbj_value ? f->fld_data.fld_subject->sbj_value : "";
            break;
        case MAILIMF_FIELD_OPTIONAL_FIELD:
            if (f->fld_data.fld_optional_field->fld_name)
                optional[f->fld_data.fld_optional_field->fld_name] =
                    f->fld_data.fld_optional_field->fld_value ? f->fld_data.fld_optional_field->fld_value : "";
            break;
        default: VUX_LOG(VuxLogModule(), 9, "unknown field: %d", f->fld_type);
        }
    }
}

void Message::Implementation::Walk(mailmime* mime, int depth) {
    // Nesting deeper than any real mail only comes from hostile input; stop before the stack does.
    if (!mime || depth > 64) return;
    VUX_LOG(VuxLogModule(), 9, "%s:%d content type: %s, encoding: %s, version: %u", VUX_SOURCE_NAME, __LINE__,
            ContentTypeText(mime->mm_content_type).c_str(), EncodingText(mime->mm_mime_fields).c_str(),
            MimeVersion(mime));
    switch (mime->mm_type) {
    case MAILMIME_MULTIPLE:
        for (clistiter* it = clist_begin(mime->mm_data.mm_multipart.mm_mp_list); it; it = clist_next(it))
            Walk(static_cast<mailmime*>(clist_content(it)), depth + 1);
        break;
    case MAILMIME_MESSAGE:
        // A forwarded message's own headers must not replace the outer ones.
        if (depth > 0 && mime->mm_data.mm_message.mm_fields) {
            for (clistiter* it = clist_begin(mime->mm_data.mm_message.mm_fields->fld_list); it; it = clist_next(it)) {
                const mailimf_field* f = static_cast<mailimf_field*>(clist_content(it));
                if (f->fld_type == MAILIMF_FIELD_OPTIONAL_FIELD && f->fld_data.fld_optional_field->fld_name)
                    optional.emplace(f->fld_data.fld_optional_field->fld_name,
                                     f->fld_data.fld_optional_field->fld_value ? f->fld_data.fld_optional_field->fld_value
                                                                               : "");
            }
        }
        Walk(mime->mm_data.mm_message.mm_msg_mime, depth + 1);
        break;
    case MAILMIME_SINGLE: {
        Part p;
        p.mime = mime;
        parts.push_back(std::move(p));
        break;
    }
    default: break;
    }
}

bool Message::Implementation::FetchDecoded(mailmime* part, std::string& out) const {
    char* data = nullptr;
    std::size_t len = 0;
    const int r = mailmessage_fetch_section(parsed, part, &data, &len);
    if (!CheckResult(r, maildriver_strerror)) return false;
    std::string raw(data ? data : "", data ? len : 0);
    mailmessage_fetch_result_free(parsed, data);

    mailmime_single_fields fields;
    mailmime_single_fields_init(&fields, part->mm_mime_fields, part->mm_content_type);
    const int encoding = fields.fld_encoding ? fields.fld_encoding->enc_type : MAILMIME_MECHANISM_8BIT;
    std::size_t index = 0;
    char* decoded = nullptr;
    std::size_t decoded_len = 0;
    const int d = mailmime_part_parse(raw.data(), raw.size(), &index, encoding, &decoded, &decoded_len);
    if (d != MAILIMF_NO_ERROR || !decoded) {
        // An empty body does not decode; anything else undecodable is kept as it came.
        VUX_LOG(VuxLogModule(), 9, "%s:%d section not decoded: %d", VUX_SOURCE_NAME, __LINE__, d);
        out = d == MAILIMF_ERROR_PARSE && raw.empty() ? std::string() : raw;
        return true;
    }
    out.assign(decoded, decoded_len);
    mmap_string_unref(decoded);
    return true;
}

Message::Message() : m_impl(std::make_shared<Implementation>()) {}

Message::Message(const std::string& source) : m_impl(std::make_shared<Implementation>()) {
    m_impl->Parse(source);
}

Message& Message::SetFrom(const std::string& text) {
    m_impl->ClearFrom();
    return AddFrom(text);
}

Message& Message::AddFrom(const std::string& text) {
    VUX_LOG(VuxLogModule(), 8, "%s", __PRETTY_FUNCTION__);
    ParseMailboxes(text, m_impl->from);
    return *this;
}

Message& Message::SetFrom(const std::string& name, const std::string& address) {
    m_impl->ClearFrom();
    mailimf_mailbox* mb = NewMailbox(name, address);
    m_impl->from = mailimf_mailbox_list_new_empty();
    if (!m_impl->from || mailimf_mailbox_list_add(m_impl->from, mb) != MAILIMF_NO_ERROR) {
        mailimf_mailbox_free(mb);
        throw std::bad_alloc();
    }
    return *this;
}

Message& Message::SetSender(const std::string& text) {
    m_impl->ClearSender();
    std::size_t index = 0;
    mailimf_mailbox* mb = nullptr;
    if (mailimf_mailbox_parse(text.data(), text.size(), &index, &mb) == MAILIMF_NO_ERROR) m_impl->sender = mb;
    return *this;
}

Message& Message::SetSender(const std::string& name, const std::string& address) {
    m_impl->ClearSender();
    m_impl->sender = NewMailbox(name, address);
    return *this;
}

Message& Message::SetTo(const std::string& text) {
    VUX_LOG(VuxLogModule(), 8, "%s", __PRETTY_FUNCTION__);
    Implementation::ClearAddresses(m_impl->to);
    return AddTo(text);
}

Message& Message::AddTo(const std::string& text) {
    VUX_LOG(VuxLogModule(), 8, "%s", __PRETTY_FUNCTION__);
    if (!ParseAddresses(text, m_impl->to, true)) throw Fail("mailimf_address_list_add_parse", text);
    return *this;
}

Message& Message::SetTo(const std::string& name, const std::string& address) {
    Implementation::ClearAddresses(m_impl->to);
    m_impl->AddMailboxToList(m_impl->to, name, address);
    return *this;
}

Message& Message::SetReplyTo(const std::string& text) {
    Implementation::ClearAddresses(m_impl->reply_to);
    return AddReplyTo(text);
}

Message& Message::AddReplyTo(const std::string& text) {
    VUX_LOG(VuxLogModule(), 8, "%s", __PRETTY_FUNCTION__);
    ParseAddresses(text, m_impl->reply_to);
    return *this;
}

Message& Message::SetCc(const std::string& text) {
    Implementation::ClearAddresses(m_impl->cc);
    return AddCc(text);
}

Message& Message::AddCc(const std::string& text) {
    VUX_LOG(VuxLogModule(), 8, "%s", __PRETTY_FUNCTION__);
    ParseAddresses(text, m_impl->cc);
    return *this;
}

Message& Message::SetBcc(const std::string& text) {
    Implementation::ClearAddresses(m_impl->bcc);
    return AddBcc(text);
}

Message& Message::AddBcc(const std::string& text) {
    VUX_LOG(VuxLogModule(), 8, "%s", __PRETTY_FUNCTION__);
    ParseAddresses(text, m_impl->bcc);
    return *this;
}

Message& Message::SetInReplyTo(const StringVector& ids) {
    FreeIds(m_impl->in_reply_to);
    m_impl->in_reply_to = nullptr;
    for (const std::string& id : ids) AddInReplyTo(id);
    return *this;
}

Message& Message::AddInReplyTo(const std::string& id) {
    if (!m_impl->in_reply_to) m_impl->in_reply_to = Check(clist_new());
    AppendId(m_impl->in_reply_to, OneLine(id).c_str());
    return *this;
}

Message& Message::SetReferences(const StringVector& ids) {
    FreeIds(m_impl->references);
    m_impl->references = nullptr;
    for (const std::string& id : ids) AddReferences(id);
    return *this;
}

Message& Message::AddReferences(const std::string& id) {
    if (!m_impl->references) m_impl->references = Check(clist_new());
    AppendId(m_impl->references, OneLine(id).c_str());
    return *this;
}

Message& Message::SetSubject(const std::string& text) {
    m_impl->subject = MakeValidSubject(text);
    return *this;
}

Message& Message::SetMessageId(const std::string& id) {
    m_impl->message_id = id;
    return *this;
}

Message& Message::AddOptional(const std::string& name, const std::string& value) {
    m_impl->optional[name] = value;
    return *this;
}

Message& Message::AddTextMsg(const std::string& text, const std::string& type) {
    auto body = std::make_unique<std::string>(text);
    mailmime_content* content = NewContent(type, m_impl->charset);
    mailmime_fields* fields = mailmime_fields_new_encoding(MAILMIME_MECHANISM_BASE64);
    if (!fields) {
        mailmime_content_free(content);
        throw std::bad_alloc();
    }
    mailmime* part = NewPart(content, fields);
    if (mailmime_set_body_text(part, body->data(), body->size()) != MAILIMF_NO_ERROR) {
        mailmime_free(part);
        throw std::bad_alloc();
    }
    m_impl->AddPart(part, std::move(body));
    return *this;
}

Message& Message::AddFileMsg(const std::string& path, const std::string& type, const std::string& name) {
    const std::string shown = OneLine(name.empty() ? vux_file::SplitPath(path).second : name);
    mailmime_content* content = NewContent(type, m_impl->charset);
    mailmime_fields* fields =
        mailmime_fields_new_filename(MAILMIME_DISPOSITION_TYPE_ATTACHMENT, DupOrNull(shown.c_str()), MAILMIME_MECHANISM_BASE64);
    if (!fields) {
        mailmime_content_free(content);
        throw std::bad_alloc();
    }
    mailmime* part = NewPart(content, fields);
    char* file = Dup(path);
    if (mailmime_set_body_file(part, file) != MAILIMF_NO_ERROR) {
        ::free(file);
        mailmime_free(part);
        throw std::bad_alloc();
    }
    m_impl->AddPart(part, nullptr);
    return *this;
}

StringVector Message::From(bool bare) const {
    StringVector out;
    AddMailboxTexts(m_impl->from, bare, out);
    return out;
}

StringVector Message::To(bool bare) const { return AddressTexts(m_impl->to, bare); }
StringVector Message::Cc(bool bare) const { return AddressTexts(m_impl->cc, bare); }
StringVector Message::Bcc(bool bare) const { return AddressTexts(m_impl->bcc, bare); }
StringVector Message::ReplyTo(bool bare) const { return AddressTexts(m_impl->reply_to, bare); }

std::string Message::Sender() const {
    const mailimf_mailbox* mb = m_impl->sender;
    if (!mb) return "";
    const std::string addr = "<" + std::string(mb->mb_addr_spec ? mb->mb_addr_spec : "") + ">";
    if (mb->mb_display_name && *mb->mb_display_name) return std::string(mb->mb_display_name) + " " + addr;
    return addr;
}

std::string Message::Subject() const {
    std::string out;
    if (DecodeWords(m_impl->subject, out)) return out;
    return m_impl->subject;
}

std::string Message::MessageId() const { return m_impl->message_id; }
StringVector Message::InReplyTo() const { return IdTexts(m_impl->in_reply_to); }
StringVector Message::References() const { return IdTexts(m_impl->references); }
const StringMap& Message::Optional() const { return m_impl->optional; }
std::string Message::Optional(const std::string& name) { return m_impl->optional[name]; }

std::string Message::Str() const { return m_impl->Render(); }

void Message::GetEmailMsgList(std::vector<EmailMsg>& out) const {
    if (!m_impl->parsed) return;
    for (const Implementation::Part& p : m_impl->parts) {
        std::string name;
        if (p.owned || p.mime->mm_type != MAILMIME_SINGLE || PartFileName(p.mime, name)) continue;
        std::string text;
        if (!m_impl->FetchDecoded(p.mime, text)) continue;
        mailmime_single_fields fields;
        mailmime_single_fields_init(&fields, p.mime->mm_mime_fields, p.mime->mm_content_type);
        const std::string charset = fields.fld_content_charset ? fields.fld_content_charset : "iso-8859-1";
        if (charset != "utf-8") text = ToUtf8(text, charset);
        str::inpl::Replace(text, "\r\n", "\n");
        out.push_back(EmailMsg{ContentTypeText(p.mime->mm_content_type), text});
    }
}

void Message::GetEmailFileList(std::vector<EmailFile>& out) const {
    if (!m_impl->parsed) return;
    for (const Implementation::Part& p : m_impl->parts) {
        std::string name;
        if (p.owned || !PartFileName(p.mime, name)) continue;
        std::string data;
        if (!m_impl->FetchDecoded(p.mime, data)) continue;
        out.push_back(EmailFile{name, data});
    }
}

std::string MakeValidSubject(const std::string& subject) {
    static const std::string kTemplate = "=?utf-8?B?__subj__?=";
    std::string result, chunk;
    for (std::size_t i = 0; i < subject.size();) {
        const std::size_t width = std::min(Utf8Width(static_cast<unsigned char>(subject[i])), subject.size() - i);
        if (chunk.size() + width > 44) {
            str::inpl::Append(result, str::Replace(kTemplate, "__subj__", str::base64::Encode(chunk)), " ");
            chunk.clear();
        }
        chunk.append(subject, i, width);
        i += width;
    }
    if (!chunk.empty()) str::inpl::Append(result, str::Replace(kTemplate, "__subj__", str::base64::Encode(chunk)), "  ");
    return result;
}

bool CheckResult(int code, const char* (*describer)(int)) {
    VUX_LOG(VuxLogModule(), 9, "%s:%d Res: %d: %s", VUX_SOURCE_NAME, __LINE__, code,
            describer ? describer(code) : "no description");
    return code == 0;
}

}  // namespace vux_email
