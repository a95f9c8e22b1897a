// Long operations handed to the panel's detached runner, sbin/lt_wrapper, with one
// description file per task under var/run/<queue>/ that any process can inspect.
#ifndef LIBVUX_VUXTASK_H
#define LIBVUX_VUXTASK_H

#include <libvux/vuxapi.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <libvux/vuxjob.h>

VUX_API_BEGIN

namespace vux_task {

class LongTaskJob;

// var/run/<queue>/<word>[.<id>], word being the last component of name up to its first ".".
std::string TaskInfoFile(const std::string& name, const std::string& id, const std::string& queue);

class LongTask {
public:
    LongTask();
    LongTask(const std::string& name, const std::string& id, const std::string& queue);

    LongTask& SetDepend(const std::string& task);
    LongTask& SetParams(const std::vector<std::string>& params);
    LongTask& SetParam(const std::string& param);
    LongTask& SetEnv(const std::string& name, const std::string& value);

    // The queued ("status=PRE") description of the task.
    std::string GetContent() const;
    // Takes the description file for this process and queues the task in it; false when
    // another process holds it or has already queued it.
    bool Lock();
    // Mode bits: 1 deferred (on commit of the thread's jobs) or 8 now; 2 the runner enters
    // the task, 4 it restarts it. Other combinations assert. A failing fork throws "fork"; an
    // item the description cannot hold on one line throws "value"/"longtask".
    void Start(int mode);
    // Runs the runner on this task's description, handing it `file` when not empty.
    void Start(const std::string& file, int mode);

    const std::string& name() const;
    const std::string& id() const;
    const std::string& queue() const;

    struct VUX_INTERNAL Data;

private:
    friend class LongTaskJob;
    Data& Need() const;
    std::shared_ptr<Data> data_;
};

// Starts a copy of the task when the thread's jobs commit; on roll-back removes the
// description the task had queued under its lock.
class LongTaskJob : public vux_job::SafeJob {
public:
    LongTaskJob(const LongTask& task, int mode);
    void onCommit() override;
    void onRollback() override;

private:
    LongTask task_;
    int mode_;
};

// True while a runner holds the task or it is queued.
bool IsRuning(const std::string& name, const std::string& id, const std::string& queue);
// Queued tasks are marked failed; running ones get SIGTERM, SIGKILL after `timeout` seconds.
void Kill(const std::string& name, const std::string& id, const std::string& queue, int timeout);
// The description's header ("status" "OK" when finished or absent), with "result" if any.
std::map<std::string, std::string> GetInfo(const std::string& name, const std::string& id,
                                           const std::string& queue);
// Makes a program started directly a long task of its own (after earlier tasks of the queue);
// returns in the task's process. A task already held throws "exists"/"longtask".
void Emulate(int argc, char** argv, const std::string& id, const std::string& queue,
             const std::string& manager);

}  // namespace vux_task

VUX_API_END

#endif
