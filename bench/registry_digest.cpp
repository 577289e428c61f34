#include "bench/registry_digest.h"

#include <algorithm>
#include <vector>

#include "platform/win32/win32_handle.h"

namespace km {

namespace {

std::wstring Folded(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = wchar_t(c + 32);
    return text;
}

void Mix(RegistryDigest* digest, const void* bytes, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (std::size_t i = 0; i < size; ++i) {
        digest->hash ^= p[i];
        digest->hash *= 1099511628211ull;
    }
}

void MixText(RegistryDigest* digest, const std::wstring& text) {
    Mix(digest, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

struct Value {
    std::wstring name;
    DWORD type = 0;
    std::vector<BYTE> data;
};

void AddKey(HKEY key, const std::wstring& path, RegistryDigest* digest, std::wstring* listing) {
    DWORD subkeys = 0, maxSubkey = 0, values = 0, maxName = 0, maxData = 0;
    if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr, &values,
                           &maxName, &maxData, nullptr, nullptr) != ERROR_SUCCESS)
        return;
    ++digest->keys;
    MixText(digest, Folded(path));
    if (listing) *listing += L"[" + Folded(path) + L"]\n";

    std::vector<Value> found;
    std::vector<wchar_t> name(maxName + 2);
    for (DWORD i = 0; i < values; ++i) {
        Value value;
        value.data.resize(maxData + 1);
        DWORD nameLength = DWORD(name.size());
        DWORD dataLength = DWORD(value.data.size());
        if (::RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &value.type,
                            value.data.data(), &dataLength) != ERROR_SUCCESS)
            continue;
        value.name = Folded(std::wstring(name.data(), nameLength));
        value.data.resize(dataLength);
        found.push_back(std::move(value));
    }
    std::sort(found.begin(), found.end(),
              [](const Value& a, const Value& b) { return a.name < b.name; });
    for (const Value& value : found) {
        ++digest->values;
        MixText(digest, value.name);
        Mix(digest, &value.type, sizeof value.type);
        const DWORD size = DWORD(value.data.size());
        Mix(digest, &size, sizeof size);
        Mix(digest, value.data.data(), value.data.size());
        if (listing) {
            wchar_t head[32];
            swprintf(head, 32, L" type %lu:", static_cast<unsigned long>(value.type));
            *listing += L"\"" + value.name + L"\"" + head;
            for (BYTE b : value.data) {
                wchar_t hex[4];
                swprintf(hex, 4, L"%02x", b);
                *listing += hex;
            }
            *listing += L"\n";
        }
    }

    std::vector<std::wstring> names;
    std::vector<wchar_t> subkey(maxSubkey + 2);
    for (DWORD i = 0; i < subkeys; ++i) {
        DWORD length = DWORD(subkey.size());
        if (::RegEnumKeyExW(key, i, subkey.data(), &length, nullptr, nullptr, nullptr, nullptr) ==
            ERROR_SUCCESS)
            names.emplace_back(subkey.data(), length);
    }
    std::sort(names.begin(), names.end(),
              [](const std::wstring& a, const std::wstring& b) { return Folded(a) < Folded(b); });
    for (const std::wstring& child : names) {
        HKEY opened = nullptr;
        if (::RegOpenKeyExW(key, child.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &opened) !=
            ERROR_SUCCESS)
            continue;
        const UniqueRegKey owned(opened);
        AddKey(owned.Get(), path + L"\\" + child, digest, listing);
    }
}

}  // namespace

void AddTree(HKEY root, const std::wstring& path, RegistryDigest* digest, std::wstring* listing) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return;
    const UniqueRegKey owned(key);
    AddKey(owned.Get(), path, digest, listing);
}

// Through a handle opened in the 64-bit view: a 32-bit process deleting by
// root and path would reach the 32-bit view instead.
void RemoveTree(HKEY root, const std::wstring& path) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return;
    {
        const UniqueRegKey owned(key);
        ::RegDeleteTreeW(owned.Get(), nullptr);
    }
    ::RegDeleteKeyExW(root, path.c_str(), KEY_WOW64_64KEY, 0);
}

}  // namespace km
