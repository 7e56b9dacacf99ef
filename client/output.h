// Output and argument helpers shared by the zembrikctl commands.
#pragma once
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace zctl {

// A command's entry: arguments after the command name; text goes to out and
// err; returns the exit status (0 success, 1 failure).
using CommandMain = int (*)(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

void Write(std::FILE* f, std::string_view text);
// "zembrikctl: <command>: <text>" (or "zembrikctl: <text>") and a line end,
// on err: the one form of every error the commands report.
void WriteError(std::FILE* err, std::string_view command, std::string_view text);
// --verbose: errors name their Windows error constants as well.
void SetVerbose(bool on);
bool Verbose();

// Text made fit for one output line: line ends, tabs and other control
// characters (terminal escapes included) become spaces.
std::string OneLine(std::string_view text);
std::string ToLowerAscii(std::string_view text);
// Splits "a,b,,c" into {"a","b","c"}; empty items are dropped.
std::vector<std::string> SplitList(std::string_view text, char separator = ',');

// Option scanner for "--name value", "--name=value" and "-x value" forms.
class ArgScanner {
public:
    explicit ArgScanner(const std::vector<std::string>& args) : args_(args) {}
    bool Done() const { return next_ >= args_.size(); }
    // Takes the next argument; name is the option part ("--type" of
    // "--type=error"), inlineValue what follows '='.
    void Next(std::string& name, std::string& inlineValue, bool& hasInlineValue);
    // The value of the option just taken: its inline value or the next
    // argument. False when there is none.
    bool Value(const std::string& inlineValue, bool hasInlineValue, std::string& value);

private:
    const std::vector<std::string>& args_;
    size_t next_ = 0;
};

}  // namespace zctl
