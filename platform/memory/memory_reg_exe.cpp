#include "platform/memory/memory_reg_exe.h"

#include "platform/text.h"

namespace km {

std::vector<Text> SplitCommandWords(TextView commandLine) {
    std::vector<Text> words;
    Text word;
    bool inWord = false, quoted = false;
    for (const char16_t c : commandLine) {
        if (c == u'"') {
            quoted = !quoted;
            inWord = true;  // "" is an empty word
        } else if (!quoted && (c == u' ' || c == u'\t')) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word.push_back(c);
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

namespace {

// The mount name from "HKEY_USERS\NAME" or "HKU\NAME"; empty when it is not one.
Text MountNameOf(const Text& key) {
    for (const TextView root : {TextView(u"HKEY_USERS\\"), TextView(u"HKU\\")}) {
        if (key.size() <= root.size() || !EqualsIgnoreAsciiCase(TextView(key).substr(0, root.size()), root))
            continue;
        Text name = key.substr(root.size());
        return name.find(u'\\') == Text::npos ? name : Text();
    }
    return Text();
}

}  // namespace

std::optional<RegExeCommand> ParseRegExeCommand(TextView commandLine) {
    const auto words = SplitCommandWords(commandLine);
    if (words.size() < 3) return std::nullopt;
    RegExeCommand command;
    command.mountName = MountNameOf(words[2]);
    if (command.mountName.empty()) return std::nullopt;
    if (EqualsIgnoreAsciiCase(words[1], u"Load") && words.size() == 4 && !words[3].empty()) {
        command.verb = RegExeCommand::Verb::Load;
        command.file = words[3];
        return command;
    }
    if (EqualsIgnoreAsciiCase(words[1], u"Unload") && words.size() == 3) {
        command.verb = RegExeCommand::Verb::Unload;
        return command;
    }
    return std::nullopt;
}

}  // namespace km
