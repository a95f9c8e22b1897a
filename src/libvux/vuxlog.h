// Rule-driven logging: modules, levels and lines.
#ifndef LIBVUX_VUXLOG_H
#define LIBVUX_VUXLOG_H

#include <memory>
#include <string>

namespace vux_log {

// A message is written when its level is at or below the level its rule grants.
typedef int Level;

const Level LevelWatch = 0;
const Level LevelNote = 1;
const Level LevelFatal = 2;
const Level LevelError = 3;
const Level LevelWarning = 4;
const Level LevelInfo = 5;
const Level LevelExtInfo = 6;
const Level LevelExt = 7;
const Level LevelTrace = 8;
const Level LevelDebug = 9;

// A named source of log lines; copies share the module's rules.
class Module {
public:
    Module(const char* name, const char* binary = "core");

    // Whether a line of that level is to be written; false while no rules are loaded.
    bool Check(Level level) const;
    // Formats and writes one line; does not test the level (test Check first).
    void Write(Level level, const char* format, ...) const __attribute__((format(printf, 3, 4)));

    const std::string& Name() const;

    class Info;

private:
    std::shared_ptr<Info> info_;
};

// Whether a log object exists (vux_log::Init has run and Close has not).
bool Has();

}  // namespace vux_log

#endif
