// The `.values` file of a key: codec and atomic read-modify-write.
//
// The file is a JSON array, one object per value in insertion order:
//   [
//    {"name": "ProductSuite", "type": "REG_MULTI_SZ", "data": ["DataCenter"]},
//    {"name": "Odd", "type": "REG_SZ", "hex": "410042"}
//   ]
// "data" holds the natural form (string, list of strings, number, hex for
// REG_BINARY) only when it gives back exactly the bytes written; anything else
// is kept byte for byte as "hex". A file we cannot read exactly is never
// rewritten: its key's value calls fail with ERROR_BADDB until it is repaired.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal/registry_store.h"
#include "pal/error.h"
#include "pal/json.h"
#include "pal/regdata.h"
#include "pal/strings.h"

namespace pal::reg {
namespace {

using namespace pal::regdata;

constexpr const char kValuesFile[] = ".values";
constexpr const char kTempPrefix[] = ".values.tmp.";  // as WriteFileAtomicAt names them
constexpr const char kLockFile[] = ".lock";

void AppendValue(std::string& out, const Value& v) {
    out += "{\"name\": ";
    json::Quote(out, ToUtf8(v.name));
    out += ", \"type\": ";
    const char* typeName = NameOfType(v.type);
    if (typeName != nullptr) json::Quote(out, typeName);
    else out += std::to_string(v.type);

    std::string text;
    std::vector<std::string> list;
    bool natural = true;
    std::string data;
    switch (v.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        natural = NaturalString(v.data, text);
        if (natural) json::Quote(data, text);
        break;
    case REG_MULTI_SZ:
        natural = NaturalMulti(v.data, list);
        if (natural) {
            data += '[';
            for (size_t i = 0; i < list.size(); ++i) {
                if (i != 0) data += ", ";
                json::Quote(data, list[i]);
            }
            data += ']';
        }
        break;
    case REG_DWORD:
        natural = v.data.size() == 4;
        if (natural) data = std::to_string(LittleEndian(v.data));
        break;
    case REG_QWORD:
        natural = v.data.size() == 8;
        if (natural) data = std::to_string(LittleEndian(v.data));
        break;
    case REG_BINARY:
        json::Quote(data, Hex(v.data));
        break;
    default:
        natural = false;
    }
    if (natural) {
        out += ", \"data\": ";
        out += data;
    } else {
        out += ", \"hex\": ";
        json::Quote(out, Hex(v.data));
    }
    out += '}';
}

bool DecodeNatural(DWORD type, const json::Value& d, std::string& bytes) {
    bytes.clear();
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        if (d.kind != json::Kind::String) return false;
        AppendUnits(bytes, ToUtf16(d.text));
        AppendUnits(bytes, std::u16string(1, 0));
        return true;
    case REG_MULTI_SZ:
        if (d.kind != json::Kind::Array) return false;
        for (const auto& item : d.items) {
            // An empty string would end the list early: not a form we write.
            if (item.kind != json::Kind::String || item.text.empty()) return false;
            std::u16string s = ToUtf16(item.text);
            if (s.find(char16_t(0)) != std::u16string::npos) return false;
            AppendUnits(bytes, s);
            AppendUnits(bytes, std::u16string(1, 0));
        }
        AppendUnits(bytes, std::u16string(d.items.empty() ? 2 : 1, 0));
        return true;
    case REG_DWORD:
    case REG_QWORD: {
        size_t n = type == REG_DWORD ? 4 : 8;
        uint64_t u;
        int64_t s;
        // Hand edits may write a negative number; it means the two's complement.
        if (d.AsUint64(u)) {
            if (n == 4 && u > 0xFFFFFFFFu) return false;
        } else if (d.AsInt64(s)) {
            if (n == 4 && s < INT32_MIN) return false;
            u = static_cast<uint64_t>(s);
        } else {
            return false;
        }
        bytes = LittleEndianBytes(u, n);
        return true;
    }
    case REG_BINARY:
        return d.kind == json::Kind::String && Unhex(d.text, bytes);
    default:
        return false;
    }
}

bool DecodeOne(const json::Value& item, Value& v) {
    if (item.kind != json::Kind::Object || item.members.size() != 3) return false;
    const json::Value* name = item.Find("name");
    const json::Value* type = item.Find("type");
    const json::Value* data = item.Find("data");
    const json::Value* hex = item.Find("hex");
    // Exactly name, type and one of data/hex (three distinct members).
    if (name == nullptr || type == nullptr || (data == nullptr) == (hex == nullptr)) return false;
    if (name->kind != json::Kind::String) return false;
    v.name = ToUtf16(name->text);
    if (v.name.find(char16_t(0)) != std::u16string::npos) return false;
    if (type->kind == json::Kind::String) {
        if (!TypeOfName(type->text, v.type)) return false;
    } else {
        uint64_t t;
        if (!type->AsUint64(t) || t > 0xFFFFFFFFu) return false;
        v.type = static_cast<DWORD>(t);
    }
    if (hex != nullptr) return hex->kind == json::Kind::String && Unhex(hex->text, v.data);
    return DecodeNatural(v.type, *data, v.data);
}

// Removes temp files of writers that died before their rename.
void RemoveLeftovers(int dirFd) {
    int fd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    DIR* d = fdopendir(fd);
    if (d == nullptr) {
        close(fd);
        return;
    }
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d)) {
        if (strncmp(e->d_name, kTempPrefix, sizeof(kTempPrefix) - 1) == 0) names.push_back(e->d_name);
    }
    for (const auto& n : names) unlinkat(dirfd(d), n.c_str(), 0);
    closedir(d);
}

// The lock file's mode: write for each class that may write the key (w and
// x on its directory) and nothing else, so that a reader cannot take it.
mode_t LockMode(mode_t dirMode) {
    mode_t m = 0;
    for (int shift : {6, 3, 0})
        if (((dirMode >> shift) & 3) == 3) m |= static_cast<mode_t>(2u << shift);
    return m;
}

}  // namespace

std::string EncodeValues(const std::vector<Value>& values) {
    if (values.empty()) return "[]\n";
    std::string out = "[\n";
    for (size_t i = 0; i < values.size(); ++i) {
        out += ' ';
        AppendValue(out, values[i]);
        out += i + 1 < values.size() ? ",\n" : "\n";
    }
    out += "]\n";
    return out;
}

DWORD DecodeValues(std::string_view text, std::vector<Value>& out) {
    out.clear();
    json::Value doc;
    if (!json::Parse(text, doc) || doc.kind != json::Kind::Array) return ERROR_BADDB;
    out.reserve(doc.items.size());
    for (const auto& item : doc.items) {
        Value v;
        if (!DecodeOne(item, v)) return ERROR_BADDB;
        // Two values of one name make every lookup ambiguous.
        if (FindValue(out, v.name) >= 0) return ERROR_BADDB;
        out.push_back(std::move(v));
    }
    return ERROR_SUCCESS;
}

long FindValue(const std::vector<Value>& values, std::u16string_view name) {
    std::u16string wanted(name);
    for (size_t i = 0; i < values.size(); ++i)
        if (values[i].name.size() == wanted.size() && lstrcmpiW(values[i].name.c_str(), wanted.c_str()) == 0)
            return static_cast<long>(i);
    return -1;
}

bool IsDeleted(const Key& key) {
    struct stat st;
    return fstat(key.dir.get(), &st) != 0 || st.st_nlink == 0;
}

DWORD LoadValues(const Key& key, std::vector<Value>& out) {
    out.clear();
    // Never through a link, and never blocked by a FIFO put in its place.
    ScopedFd fd(openat(key.dir.get(), kValuesFile, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT) return IsDeleted(key) ? ERROR_KEY_DELETED : ERROR_SUCCESS;
        return errno == ELOOP || errno == ENXIO ? ERROR_BADDB : ErrnoToWin32(errno);
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return ErrnoToWin32(errno);
    if (!S_ISREG(st.st_mode)) return ERROR_BADDB;
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof(buf));
        if (n < 0) {
            if (errno == EINTR) continue;
            return ErrnoToWin32(errno);
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return DecodeValues(text, out);
}

DWORD LockKey(int keyFd, ScopedFd& lock) {
    struct stat dirSt;
    if (fstat(keyFd, &dirSt) != 0) return ErrnoToWin32(errno);
    if (dirSt.st_nlink == 0) return ERROR_KEY_DELETED;
    // Opened for writing: those who may only read the key cannot open it.
    // O_NONBLOCK: a FIFO put in its place must not hang us.
    constexpr int kOpen = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    ScopedFd fd;
    for (int attempt = 0; !fd; ++attempt) {
        fd.reset(openat(keyFd, kLockFile, kOpen));
        if (fd || errno != ENOENT) break;
        // Keys of older roots have none yet.
        fd.reset(openat(keyFd, kLockFile, kOpen | O_CREAT | O_EXCL, 0200));
        if (fd || errno != EEXIST || attempt == 3) break;
    }
    if (!fd) {
        if (errno == ENOENT) return ERROR_KEY_DELETED;
        if (errno == ELOOP || errno == ENXIO || errno == EISDIR) return ERROR_ACCESS_DENIED;
        return ErrnoToWin32(errno);
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return ErrnoToWin32(errno);
    if (!S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;
    // The key's owner and group with the key's write bits; set by whoever
    // may (its maker, root), never on a file that has other names.
    mode_t want = LockMode(dirSt.st_mode);
    if (st.st_nlink == 1 && (st.st_uid != dirSt.st_uid || st.st_gid != dirSt.st_gid || (st.st_mode & 07777) != want))
        SetOwnerAndMode(fd.get(), want, static_cast<int>(dirSt.st_uid), static_cast<int>(dirSt.st_gid));
    int err = FlockWithin(fd.get(), LOCK_EX, kKeyLockMs);
    if (err == ETIMEDOUT) return ERROR_TIMEOUT;
    if (err != 0) return ErrnoToWin32(err);
    lock = std::move(fd);
    return ERROR_SUCCESS;
}

DWORD UpdateValuesImpl(const Key& key, DWORD (*edit)(std::vector<Value>&, void*), void* ctx) {
    NoReadBatch fresh;
    ScopedFd lock;
    DWORD rc = LockKey(key.dir.get(), lock);
    if (rc != ERROR_SUCCESS) return rc;
    struct stat dirSt;
    if (fstat(key.dir.get(), &dirSt) != 0) return ErrnoToWin32(errno);
    if (dirSt.st_nlink == 0) return ERROR_KEY_DELETED;
    ValueList stored;
    rc = CachedValues(key, dirSt, stored);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<Value> values = *stored;
    rc = edit(values, ctx);
    if (rc != ERROR_SUCCESS) return rc;
    RemoveLeftovers(key.dir.get());
    // The file takes the directory's owner and group, and its mode without x bits.
    int err = WriteFileAtomicAt(key.dir.get(), kValuesFile, EncodeValues(values), dirSt.st_mode & 0666,
                                static_cast<int>(dirSt.st_uid), static_cast<int>(dirSt.st_gid));
    return err == 0 ? ERROR_SUCCESS : ErrnoToWin32(err);
}

}  // namespace pal::reg
