// libFuzzer target: any bytes as one request message to the dispatcher, on
// a real rule database in a state root of its own. Every reply must be a
// well-formed reply of at most the reply buffer. The state root lives in
// memory (/dev/shm) where there is one: a rule change syncs its file, which
// on a disk costs milliseconds per input.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "common/messages.h"
#include "common/texts.h"
#include "db/zembrik_db.h"
#include "wire/request_protocol.h"
#include "pipe/zembrik_client.h"
#include "pipe/zembrik_user.h"

namespace {

// Every rule change reloads its whole list, so a store the fuzzer has filled
// with hundreds of rules makes each input slower than the last; the state
// starts afresh after this many inputs (rules still build up within a window).
constexpr int kInputsPerStore = 256;

// The state root of the current window; removed when the window ends and when
// the fuzzer exits (at its time limit it calls exit).
std::string g_folder;
void RemoveFolder() {
    std::error_code ec;
    std::filesystem::remove_all(g_folder, ec);
}

struct Harness {
    EndpointContext context{};
    ZembrikDb* db = nullptr;
    ZembrikUser* server = nullptr;
    ZembrikClient* client = nullptr;
    int inputs = 0;
    Harness() {
        atexit(RemoveFolder);
        RegisterProgramResources();
        LoadTexts();
        Start();
    }
    void Start() {
        std::error_code ec;
        // In memory where we may make a folder there, else in the temporary folder.
        std::string folder = "/dev/shm/zembrik-fuzz-XXXXXX";
        if (mkdtemp(folder.data()) == nullptr) {
            folder = (std::filesystem::temp_directory_path(ec) / "zembrik-fuzz-XXXXXX").string();
            if (ec || mkdtemp(folder.data()) == nullptr) abort();
        }
        g_folder = folder;
        setenv("ZEMBRIK_SYSROOT", (folder + "/root").c_str(), 1);
        db = new ZembrikDb();
        if (db->LoadRules(7) != 0) abort();
        context = EndpointContext{};
        context.database = db;
        server = new ZembrikUser(context);
        client = new ZembrikClient(
            new ClientContext{1, nullptr, kRequestBufferSize, kReplyBufferSize, &server->Endpoint(), server});
        inputs = 0;
    }
    void Renew() {
        delete client;
        delete server;
        delete db;
        RemoveFolder();
        Start();
    }
};

Harness& Get() {
    static Harness* h = new Harness();
    if (++h->inputs > kInputsPerStore) h->Renew();
    return *h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& h = Get();
    // What the session would read: at most the request buffer.
    if (size > kRequestBufferSize) size = kRequestBufferSize;
    memcpy(h.client->RequestBuffer(), data, size);
    DWORD length = h.client->Dispatch(static_cast<DWORD>(size));
    const auto* reply = reinterpret_cast<const RequestHeader*>(h.client->ReplyBuffer());
    if (length < kHeaderSize || length > kReplyBufferSize) abort();
    if (reply->signature != kRequestSignature || reply->replyMark != 1) abort();
    if (length != kHeaderSize + static_cast<DWORD>(reply->recordCount) * static_cast<DWORD>(reply->recordSize))
        abort();
    if (reply->result != 0 && length != kHeaderSize) abort();
    return 0;
}
