// Command lines of the panel's utilities: a declared tree of options, the parsed result and
// the generated help that every usage error carries.
#ifndef LIBVUX_VUXARGS_H
#define LIBVUX_VUXARGS_H

#include <libvux/vuxapi.h>

#include <exception>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

VUX_API_BEGIN

namespace vux_args {

struct ParamValue {
    std::vector<std::string> values;
    // On the command line, as opposed to holding its default.
    bool given = false;
};

class Result {
public:
    const std::vector<std::string>& Args() const { return args_; }
    int ArgsCount() const { return static_cast<int>(args_.size()); }
    // "" past the end.
    std::string Args(int i) const;

    // An option: given on the command line (a default does not count). A group: one of its
    // options was given.
    bool Has(const std::string& name) const;
    // An option's last value ("" when it has none), or a group's chosen option; any other
    // name asserts.
    std::string operator[](const std::string& name) const;
    // The i-th value, -1 the last; "" out of range or for an unknown name.
    std::string Param(const std::string& name, int i = -1) const;
    int ParamCount(const std::string& name) const;
    void SetParam(const std::string& name, const std::string& value);

private:
    friend class Args;
    std::vector<std::string> args_;
    std::map<std::string, ParamValue> params_;
    std::map<std::string, std::string> groups_;
};

class Args {
public:
    // Every command-line mistake; what() is the whole text to show, help included.
    class UsageError : public std::exception {
    public:
        explicit UsageError(const std::string& text) : text_(text) {}
        const char* what() const noexcept override { return text_.c_str(); }

    private:
        std::string text_;
    };

    // One option; the root of the tree is an unnamed one. Setters return the option itself.
    class Arg {
    public:
        Arg() = default;
        ~Arg();
        Arg(const Arg&) = delete;
        Arg& operator=(const Arg&) = delete;

        // A sibling (a further child of this option's parent); on the root, a child.
        Arg& AddOption(const std::string& name, char short_name, const std::string& description);
        Arg& AddSuboption(const std::string& name, char short_name, const std::string& description);
        // The parent, to go on one level up; asserts on the root.
        Arg& Last();
        Arg& SetParam();
        // Makes the option take a value; an empty default asserts.
        Arg& SetDefault(const std::string& value);
        // The validator may rewrite the value; setting one makes the option take a value.
        Arg& SetValidator(bool (*validator)(std::string&));
        // An ungrouped flag is made to take a value.
        Arg& SetRequired();
        Arg& SetMultiple();
        Arg& SetGroup(const std::string& group);

        Arg* parent = nullptr;
        std::string name;
        std::string group;
        std::string description;
        std::string default_value;
        bool (*validator)(std::string&) = nullptr;
        std::list<Arg*> children;
        int value_count = 0;
        char short_name = ' ';
        bool required = false;
        bool multiple = false;
    };

    explicit Args(const std::string& name);

    Arg& AddOption(const std::string& name, char short_name, const std::string& description);
    Arg* operator->() { return &root_; }

    // Parses argv[1..argc) into a fresh result; returns the number of plain arguments.
    // Throws UsageError ("--help" throws the help itself).
    int Parse(int argc, const char** argv);
    std::shared_ptr<Result> GetResult() const { return result_; }
    std::string operator[](const std::string& name) const { return (*result_)[name]; }

    // Throws UsageError: the name, the help table and the message. An empty message names
    // the first plain argument as unknown, when there is one.
    [[noreturn]] void Usage(const std::string& message) const;

private:
    void Lookup(const std::string& arg, std::size_t& next, int argc, const char** argv);
    void SetValue(Arg& option, std::size_t& next, int argc, const char** argv);
    void ApplyDefaults(const Arg& level);
    std::string Help() const;

    std::string name_;
    Arg root_;
    std::shared_ptr<Result> result_;
};

}  // namespace vux_args

// A path from the command line: an empty or absolute one as it is, a relative one joined to
// ORIGWD, the directory the user started from. Throws vux_err::Error "bad_work_dir" when
// ORIGWD is unset or empty.
std::string GetArgPath(const std::string& path);

VUX_API_END

#endif
