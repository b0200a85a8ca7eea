// The three CT-API functions: card terminal numbers bound to readers opened through the client
// library, each with the card terminal that maps its commands.
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "client/reader.h"
#include "ctapi/terminal.h"
// Last: its address and return code macros must not meet the C++ headers.
#include "ctapi/ctapi.h"

namespace quor::ctapi {
namespace {

static_assert(OK == kOk && ERR_INVALID == kErrInvalid && ERR_CT == kErrCt &&
              ERR_TRANS == kErrTrans && ERR_MEMORY == kErrMemory && ERR_HTSI == kErrHtsi);
static_assert(ICC1 == kIcc1 && CT == kCt);

// The serial device of a port number: QUOR_CTAPI_PORT_<pn> when set, else /dev/ttyS<pn - 1>;
// empty for pn 0 without the variable.
std::string PortPath(IU16 pn) {
    const std::string variable = "QUOR_CTAPI_PORT_" + std::to_string(pn);
    if (const char* path = std::getenv(variable.c_str()); path != nullptr && *path != '\0') {
        return path;
    }
    if (pn == 0) return {};
    return "/dev/ttyS" + std::to_string(pn - 1);
}

// The return code for a reader that did not open: a reader that did not answer in time, or
// else a port the host could not open or set up (no such device, not a serial device).
std::int8_t OpenFailure(client::NtStatus s) {
    namespace status = client::status;
    return s == status::kTimeout || s == status::kIoTimeout ? kErrTrans : kErrHtsi;
}

// When not a byte has come back this long after the driver began to start the reader, nothing
// answers on the port and CT_init gives up (the driver's own time-outs take most of a minute).
constexpr std::int64_t kSilenceLimitMs = 6000;

// One card terminal number and its reader.
struct Slot {
    std::string path;
    bool ready = false;  // opened and not closing
    client::Reader reader;
    std::unique_ptr<CardTerminal> terminal;
};

class Registry {
  public:
    IS8 Init(IU16 ctn, IU16 pn) {
        const std::string path = PortPath(pn);
        if (path.empty()) return kErrInvalid;
        auto slot = std::make_shared<Slot>();
        slot->path = path;
        {
            std::lock_guard lock(mu_);
            if (slots_.count(ctn) != 0) return kErrInvalid;
            for (const auto& [n, other] : slots_) {
                if (other->path == path) return kErrInvalid;  // one terminal per port
            }
            slots_[ctn] = slot;
        }
        // Opening takes seconds (reset and identification): other terminals go on meanwhile.
        client::OpenOptions options;
        options.silenceLimitMs = kSilenceLimitMs;
        const client::NtStatus s = slot->reader.Open(path, options);
        if (s != client::status::kSuccess) {
            std::lock_guard lock(mu_);
            slots_.erase(ctn);
            return OpenFailure(s);
        }
        slot->terminal = std::make_unique<CardTerminal>(slot->reader);
        // The driver starts a device also when nothing answers on its port: no terminal then.
        const bool answers = slot->terminal->ReaderAnswers();
        if (!answers) slot->reader.Close();
        std::lock_guard lock(mu_);
        if (!answers) {
            slots_.erase(ctn);
            return kErrTrans;
        }
        slot->ready = true;
        return kOk;
    }

    std::shared_ptr<Slot> Find(IU16 ctn) {
        std::lock_guard lock(mu_);
        const auto it = slots_.find(ctn);
        if (it == slots_.end() || !it->second->ready) return nullptr;
        return it->second;
    }

    IS8 Close(IU16 ctn) {
        std::shared_ptr<Slot> slot;
        {
            std::lock_guard lock(mu_);
            const auto it = slots_.find(ctn);
            if (it == slots_.end() || !it->second->ready) return kErrInvalid;
            slot = it->second;
            slot->ready = false;
        }
        // Ends a wait for the card under way in another thread and waits for its call.
        slot->reader.Close();
        std::lock_guard lock(mu_);
        slots_.erase(ctn);
        return kOk;
    }

  private:
    std::mutex mu_;
    std::map<IU16, std::shared_ptr<Slot>> slots_;
};

// Destroyed at exit, which closes the terminals an application left open.
Registry& Terminals() {
    static Registry registry;
    return registry;
}

bool ValidSource(IU8 sad) { return sad == HOST || sad == REMOTE_HOST; }

}  // namespace
}  // namespace quor::ctapi

using namespace quor::ctapi;

extern "C" {

__attribute__((visibility("default"))) IS8 CT_init(IU16 ctn, IU16 pn) {
    try {
        return Terminals().Init(ctn, pn);
    } catch (const std::bad_alloc&) {
        return ERR_MEMORY;
    } catch (...) {
        return ERR_HTSI;
    }
}

__attribute__((visibility("default"))) IS8 CT_data(IU16 ctn, IU8* dad, IU8* sad, IU16 lenc,
                                                   IU8* command, IU16* lenr, IU8* response) {
    if (dad == nullptr || sad == nullptr || command == nullptr || lenr == nullptr ||
        response == nullptr || lenc < 4 || !ValidSource(*sad)) {
        return ERR_INVALID;
    }
    try {
        const auto slot = Terminals().Find(ctn);
        if (!slot) return ERR_INVALID;
        Answer answer = slot->terminal->Data(*dad, {command, lenc}, *lenr);
        if (answer.code != OK) return answer.code;
        std::copy(answer.bytes.begin(), answer.bytes.end(), response);
        *lenr = static_cast<IU16>(answer.bytes.size());
        const IU8 destination = *dad;
        *dad = *sad;
        *sad = destination;
        return OK;
    } catch (const std::bad_alloc&) {
        return ERR_MEMORY;
    } catch (...) {
        return ERR_HTSI;
    }
}

__attribute__((visibility("default"))) IS8 CT_close(IU16 ctn) {
    try {
        return Terminals().Close(ctn);
    } catch (...) {
        return ERR_HTSI;
    }
}

}  // extern "C"
