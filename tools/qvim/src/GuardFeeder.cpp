#include "GuardFeeder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "Actor.h"
#include "FsEntity.h"
#include "Engine.h"
#include "Text.h"
#include "Walk.h"

namespace qvimcli {
namespace {

const char* operationWord(uint32_t op) {
    switch (op) {
        case GUARD_OP_WRITE: return "write";
        case GUARD_OP_ATTR: return "attribute change";
        case GUARD_OP_DELETE: return "deletion";
        case GUARD_OP_RENAME: return "rename";
        case GUARD_OP_CREATE: return "creation";
        default: return "operation";
    }
}

std::string verdictWord(qvim_status status) {
    if (status == QVIM_VERDICT_ALLOW) return "allow";
    if (status == QVIM_VERDICT_BLOCK) return "block";
    return "none (" + statusText(status) + ")";
}

// The acting process as the kernel saw it when it decided: the process may
// be gone by the time the decision is read.
Actor actorOf(const guard_event& event) {
    Actor actor;
    actor.pid = static_cast<pid_t>(event.pid);
    actor.known = true;
    actor.uid = event.uid;
    actor.gid = event.gid;
    for (uint32_t i = 0; i < event.ngroups && i < GUARD_MAX_GROUPS; ++i) actor.groups.push_back(event.groups[i]);
    actor.name.assign(event.comm, strnlen(event.comm, sizeof event.comm));
    return actor;
}

}  // namespace

GuardFeeder::GuardFeeder(Engine& engine, GuardTargets& targets, Protect protect, Console& console,
                         EventPrinter& printer, const std::string& logPath, bool md5, uint64_t maxHashSize, double settleSeconds)
    : m_engine(engine),
      m_targets(targets),
      m_protect(std::move(protect)),
      m_console(console),
      m_printer(printer),
      m_logPath(logPath),
      m_attributesOnly(false, HashLimits{1, nullptr}),
      m_hasher(md5, HashLimits{maxHashSize, nullptr}),
      m_settle(settleSeconds) {}

bool GuardFeeder::paths(const guard_event& event, std::string& path, std::string& newPath) const {
    const GuardTargets::Entry* entry = m_targets.find(event.dev, event.ino);
    if (entry == nullptr) return false;
    const std::string name(event.name, strnlen(event.name, sizeof event.name));
    path = event.op == GUARD_OP_CREATE ? joinPath(entry->path, name.c_str()) : entry->path;
    if (event.op != GUARD_OP_RENAME) return true;
    // The new folder is the old one, or one the guard knows.
    WalkEntry parent;
    int error = 0;
    const std::string folder = parentFolder(path);
    if (lookUp(folder, parent, error) && kernelDevice(parent.st.st_dev) == event.new_dev &&
        parent.st.st_ino == event.new_ino) {
        newPath = joinPath(folder, name.c_str());
    } else if (const GuardTargets::Entry* target = m_targets.find(event.new_dev, event.new_ino)) {
        newPath = joinPath(target->path, name.c_str());
    }
    return true;
}

qvim_status GuardFeeder::notify(im_wrapper_event_s& record, const std::string& path) {
    Response response;
    const EngineResult status = m_engine.monitor(record, response);
    if (status.failed()) {
        ++m_counters.failures;
        m_console.warning("the engine could not process '" + path + "': " + status.text() + " (details in " +
                          m_logPath + ")");
        return status.code();
    }
    m_printer.printDocument(response->json);
    return status.code();
}

void GuardFeeder::decide(const guard_event& event, double now) {
    ++m_counters.decisions;
    const bool refused = event.outcome != GUARD_ALLOWED;
    if (refused) ++m_counters.refused;
    std::string path, newPath;
    if (!paths(event, path, newPath)) {
        ++m_counters.failures;
        m_console.error("a decision on an entry the guard does not know (device " + std::to_string(event.dev) +
                        ", inode " + std::to_string(event.ino) + ")");
        return;
    }

    FsEntity entity;
    std::string problem;
    if (collectEntry(path, m_attributesOnly, entity, problem) == Outcome::Vanished || event.op == GUARD_OP_CREATE) {
        entity = FsEntity();
        entity.path = path;
    }
    if (event.op == GUARD_OP_CREATE) entity.kind = S_ISDIR(event.mode) ? ENTITY_DIRECTORY : ENTITY_FILE;
    uint32_t code = QVIM_EVENT_CREATE;
    if (event.op == GUARD_OP_DELETE) code = QVIM_EVENT_DELETE;
    // A move to a folder the guard cannot name takes the entry away like a deletion.
    if (event.op == GUARD_OP_RENAME) code = newPath.empty() ? QVIM_EVENT_DELETE : QVIM_EVENT_RENAME;
    im_wrapper_event_s record;
    entity.toRecord(record, code, true, newPath.empty() ? nullptr : &newPath);
    const Actor actor = actorOf(event);
    const std::string user = actor.userText(), name = actor.processText(), groups = actor.groupsText();
    record.processUser = user.c_str();
    record.processName = name.c_str();
    record.processGroups = groups.c_str();

    const qvim_status verdict = notify(record, path);
    const qvim_status expected = refused ? QVIM_VERDICT_BLOCK : QVIM_VERDICT_ALLOW;
    if (!QVIM_FAILED(verdict) && verdict != expected) {
        ++m_counters.disagreements;
        m_console.error("the kernel " + std::string(refused ? "refused" : "allowed") + " the " +
                        operationWord(event.op) + " of '" + path + "' by " + user + " (" + name + ", pid " +
                        std::to_string(event.pid) + ") but the engine's verdict is " + verdictWord(verdict));
    }
    if (event.outcome == GUARD_DENIED) return;
    // It goes through: once it has settled, what it did is reported.
    Pending& pending = m_pending[path];
    pending.due = now + m_settle;
    if (!newPath.empty()) pending.newPath = newPath;
    pending.kind = entity.kind;
    if (event.op == GUARD_OP_CREATE) pending.inherited |= m_targets.find(event.dev, event.ino)->target.policies;
    if (event.op == GUARD_OP_RENAME) pending.moved = GuardTargets::Key(event.dev, event.ino);
}

void GuardFeeder::protectNew(const std::string& path, uint64_t policies) {
    WalkEntry entry;
    int error = 0;
    if (!lookUp(path, entry, error)) return;
    // A new folder takes new entries under the same rules as the one it is in.
    const GuardTargets::Entry& added =
        m_targets.add(path, entry.st, policies, GUARD_ENTRY | (S_ISDIR(entry.st.st_mode) ? GUARD_FOLDER : 0));
    const GuardTargets::Key key(kernelDevice(entry.st.st_dev), entry.st.st_ino);
    if (m_protect && !m_protect(key, added.target)) {
        ++m_counters.failures;
        m_console.error("cannot protect the new entry '" + path + "'; it is not guarded until qvim guard restarts");
    }
}

void GuardFeeder::report(const std::string& path, const Pending& pending) {
    FsEntity entity;
    std::string problem;
    im_wrapper_event_s record;
    WalkEntry found;
    int error = 0;
    if (!pending.newPath.empty() && !lookUp(path, found, error)) {
        if (collectEntry(pending.newPath, m_hasher, entity, problem) == Outcome::Vanished) return;
        entity.path = path;
        entity.toRecord(record, QVIM_EVENT_RENAMED, true, &pending.newPath);
        notify(record, path);
        m_targets.rename(pending.moved.first, pending.moved.second, pending.newPath);
        return;
    }
    const Outcome outcome = collectEntry(path, m_hasher, entity, problem);
    if (outcome == Outcome::Vanished) {
        entity = FsEntity();
        entity.kind = pending.kind;
        entity.path = path;
        entity.toRecord(record, QVIM_EVENT_DELETED, true);
    } else {
        entity.toRecord(record, QVIM_EVENT_CHANGED, true);
    }
    notify(record, path);
    if (pending.inherited != 0 && outcome != Outcome::Vanished) protectNew(path, pending.inherited);
}

void GuardFeeder::reportSettled(double now, bool flush) {
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (!flush && it->second.due > now) {
            ++it;
            continue;
        }
        report(it->first, it->second);
        it = m_pending.erase(it);
    }
}

int GuardFeeder::nextDueMs(double now) const {
    double next = -1;
    for (const auto& [path, pending] : m_pending) {
        const double wait = pending.due > now ? pending.due - now : 0;
        if (next < 0 || wait < next) next = wait;
    }
    return next < 0 ? -1 : static_cast<int>(next * 1000.0) + 1;
}

}  // namespace qvimcli
