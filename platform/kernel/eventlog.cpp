#include "platform/kernel/eventlog.h"

#include <map>
#include <mutex>

#include "platform/kernel/clock.h"

namespace {

struct EventLog {
    std::mutex lock;
    std::map<PDRIVER_OBJECT, std::vector<MESSAGE_TABLE_ENTRY>> tables;
    std::vector<EventLogEntry> entries;
};

EventLog& Log() {
    static EventLog* log = new EventLog;
    return *log;
}

constexpr std::size_t kMaxEntries = 10000;

}  // namespace

void IoRegisterMessageTable(PDRIVER_OBJECT DriverObject, const MESSAGE_TABLE_ENTRY* Entries,
                            ULONG Count) {
    EventLog& log = Log();
    std::lock_guard<std::mutex> lock(log.lock);
    log.tables[DriverObject] = std::vector<MESSAGE_TABLE_ENTRY>(Entries, Entries + Count);
}

void IoUnregisterMessageTable(PDRIVER_OBJECT DriverObject) {
    EventLog& log = Log();
    std::lock_guard<std::mutex> lock(log.lock);
    log.tables.erase(DriverObject);
}

void IoWriteEventLogEntry(PVOID IoObject, NTSTATUS Code, const char* Insertion, ULONG DumpData) {
    EventLogEntry e{};
    e.Code = Code;
    e.IoObject = IoObject;
    e.DumpData = DumpData;
    e.Insertion = Insertion ? Insertion : "";
    e.Time = kclock::Now();
    if (IoObject != nullptr) {
        SHORT type = *static_cast<const SHORT*>(IoObject);
        if (type == IO_TYPE_DEVICE) {
            e.FromDevice = true;
            e.Driver = static_cast<PDEVICE_OBJECT>(IoObject)->DriverObject;
        } else if (type == IO_TYPE_DRIVER) {
            e.Driver = static_cast<PDRIVER_OBJECT>(IoObject);
        }
    }
    EventLog& log = Log();
    std::lock_guard<std::mutex> lock(log.lock);
    auto it = log.tables.find(e.Driver);
    if (it != log.tables.end()) {
        for (const auto& m : it->second) {
            if (m.Code == Code) e.Message = m.Text;
        }
    }
    if (log.entries.size() >= kMaxEntries) log.entries.erase(log.entries.begin());
    log.entries.push_back(std::move(e));
}

std::vector<EventLogEntry> EventLogEntries() {
    EventLog& log = Log();
    std::lock_guard<std::mutex> lock(log.lock);
    return log.entries;
}

void EventLogClear() {
    EventLog& log = Log();
    std::lock_guard<std::mutex> lock(log.lock);
    log.entries.clear();
}
