// The error model: every failure is an exception that is also an XML document.
#ifndef LIBVUX_VUXERR_H
#define LIBVUX_VUXERR_H

#include <libvux/vuxapi.h>

#include <exception>
#include <string>

#include <libvux/vuxaccess.h>
#include <libvux/vuxbacktrace.h>
#include <libvux/vuxxml.h>

VUX_API_BEGIN

namespace vux_err {

// Type, object and value classify the failure; the same facts stand in an XML document
// ("doc"/"error" with "param" children) that travels between the panel's programs. Building
// one logs it with a stack trace (inside a NoFail scope, so an abort request never fires here).
class Error : public std::exception {
public:
    explicit Error(const std::string& type);
    Error(const std::string& type, const std::string& object);
    Error(const std::string& type, const std::string& object, const std::string& value);
    // Rebuilds an error received as XML (an "error" element); does not log.
    explicit Error(const vux_xml::XmlNode& node);
    Error(const Error& other);
    // Errors are identities: assignment leaves the target as it is.
    Error& operator=(const Error& other);
    ~Error() override;

    // The text of "/*/error/msg" when a caller added one, else the built message.
    const char* what() const noexcept override;

    std::string type() const { return type_; }
    std::string object() const { return object_; }
    std::string value() const { return value_; }
    vux_xml::Xml xml() const { return document_; }
    vux_backtrace::BtWalk backtrace() const { return backtrace_; }

    Error& add_message(const std::string& name, const std::string& text,
                       vux_access::AccessMask mask = vux_access::AccessAll);
    Error& add_param(const std::string& name, const std::string& value,
                     vux_access::AccessMask mask = vux_access::AccessAll);
    Error& add_param(const std::string& name, int value,
                     vux_access::AccessMask mask = vux_access::AccessAll);
    // Marks an internal fault worth reporting, as opposed to bad input from a user.
    Error& set_report();
    // An empty help names "error_" + type.
    Error& set_help(const std::string& help);

private:
    enum class Form { TypeOnly, TypeObject, Full };
    void Build(Form form);
    vux_xml::XmlNode ErrorNode() const;

    std::string type_;
    std::string object_;
    std::string value_;
    mutable std::string message_;
    vux_xml::Xml document_;
    vux_backtrace::BtWalk backtrace_;
};

// Something asked for by name is not there (a user, a key, a node): "missed".
class Missed : public Error {
public:
    Missed(const std::string& object, const std::string& value);
};

// Something to be created is already there (a name registered twice): "exists".
class Exists : public Error {
public:
    Exists(const std::string& object, const std::string& value);
};

// The caller may not do this: "access".
class Access : public Error {
public:
    Access(const std::string& object, const std::string& value);
};

// Two requests or states contradict each other; thrown through OnConflict, so a program
// may choose to go on instead: "conflict".
class Conflict : public Error {
public:
    Conflict(const std::string& object, const std::string& value);
};

// A service or resource cannot be reached now; trying later may work: "unavailable".
class Unavailable : public Error {
public:
    Unavailable(const std::string& object, const std::string& value);
};

// A failed system call; the value is the errno number.
class System : public Error {
public:
    System(const std::string& object, int err);
};

// A value given by the caller or a user is malformed or out of range: "value", with the
// message parameter "desc" ("desk_empty", or "desc_" + desc with "args").
class Value : public Error {
public:
    Value(const std::string& object, const std::string& value);
    Value(const std::string& object, const std::string& value, const std::string& desc,
          const std::string& args);
};

class UnavailableTimeout : public Error {
public:
    UnavailableTimeout();
};

// A broken invariant. Deliberately outside the std::exception family, so that
// handlers for ordinary errors do not swallow programming errors.
class AssertError {
public:
    AssertError(const char* file, int line, const char* func, const std::string& desc);

    [[noreturn]] static void Raise(const char* file, int line, const char* func,
                                   const std::string& desc);

    const char* file() const { return file_; }
    int line() const { return line_; }
    const char* func() const { return func_; }
    const std::string& desc() const { return desc_; }
    vux_backtrace::BtWalk backtrace() const { return backtrace_; }

private:
    const char* file_;
    int line_;
    const char* func_;
    std::string desc_;
    vux_backtrace::BtWalk backtrace_;
};

typedef bool (*ConflictCallback)(const std::string& object, const std::string& value);

bool DefaultCallback(const std::string& object, const std::string& value);
// Throws Conflict(object, value) unless the callback says to go on.
void OnConflict(const std::string& object, const std::string& value);
void SetConflictCallback(ConflictCallback callback);
ConflictCallback GetConflictCallback();

}  // namespace vux_err

// The short name an assertion gives its source file: the build names each of the library's
// files ("vuxstr_unix"); elsewhere it is the file's own name.
#ifndef VUX_SOURCE_NAME
#define VUX_SOURCE_NAME __FILE_NAME__
#endif

// Raises an AssertError naming this source file, line and function.
#define VUX_ASSERT_FAIL(desc) ::vux_err::AssertError::Raise(VUX_SOURCE_NAME, __LINE__, __PRETTY_FUNCTION__, (desc))
// Raises one unless cond holds.
#define VUX_ASSERT(cond, desc)        \
    do {                              \
        if (!(cond)) VUX_ASSERT_FAIL(desc); \
    } while (0)
// The same where the line and function an assertion names are part of the documented
// interface, and so must not move with the code.
#define VUX_ASSERT_FAIL_AT(line, func, desc) ::vux_err::AssertError::Raise(VUX_SOURCE_NAME, (line), (func), (desc))
#define VUX_ASSERT_AT(cond, line, func, desc)                                        \
    do {                                                                             \
        if (!(cond)) ::vux_err::AssertError::Raise(VUX_SOURCE_NAME, (line), (func), (desc)); \
    } while (0)

VUX_API_END

#endif
