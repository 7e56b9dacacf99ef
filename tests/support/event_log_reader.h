// Reads the event log of the current state root, for tests.
#pragma once
#include <string>
#include <vector>

namespace testsupport {

struct LoggedEvent {
    std::string id;  // "0x60000096"
    std::string type;
    std::vector<std::string> strings;
    std::string data;
    std::string message;
    long pid = 0;
};

// Every entry of eventlog/System.log under the root (the current one when empty).
std::vector<LoggedEvent> ReadEvents(const std::string& root = "");
// Entries with this id.
std::vector<LoggedEvent> EventsWithId(const std::string& id, const std::string& root = "");

}  // namespace testsupport
