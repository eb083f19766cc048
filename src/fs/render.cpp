// The one-line structure rendering of a file system.
#include <charconv>
#include <mutex>
#include <shared_mutex>

#include "fs/epoch.hpp"
#include "fs/file_system.hpp"
#include "fs/printable.hpp"
#include "fs/utf8.hpp"

namespace quorvex::fs {
namespace {

template <class Integer> void append_number(std::string &out, Integer value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void append_hex(std::string &out, std::uint32_t value) {
    char digits[8];
    const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
    out.append(digits, end);
}

// A text between double quotes, with quotes, backslashes and anything that would not show
// as itself escaped. Bytes that are not UTF-8 show as \x followed by two hex digits.
void append_quoted(std::string &out, std::string_view text) {
    out += '"';
    while (!text.empty()) {
        const Utf8Sequence decoded = decode_utf8_sequence(text);
        if (!decoded.well_formed) {
            const auto value = static_cast<unsigned char>(text[0]);
            out += "\\x";
            if (value < 0x10) out += '0';
            append_hex(out, value);
            text.remove_prefix(1);
            continue;
        }
        const char32_t cp = decoded.code_point;
        switch (cp) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\0':
            out += "\\0";
            break;
        default:
            if (is_printable(cp)) {
                out.append(text.substr(0, decoded.length));
            } else {
                out += "\\u{";
                append_hex(out, static_cast<std::uint32_t>(cp));
                out += '}';
            }
        }
        text.remove_prefix(decoded.length);
    }
    out += '"';
}

template <class Range> void append_number_list(std::string &out, const Range &values) {
    out += '[';
    bool first = true;
    for (const auto value : values) {
        if (!first) out += ", ";
        first = false;
        append_number(out, value);
    }
    out += ']';
}

void append_kind(std::string &out, const INode &node) {
    if (const auto *file = node.as_file()) {
        out += "File { data: FileData { data: ";
        append_number_list(out, file->data.data);
        out += " }, lock: FileLock { flag: ";
        append_number(out, file->lock.flag());
        out += " } }";
    } else if (const auto *directory = node.as_directory()) {
        out += "Directory { children: ";
        append_number_list(out, directory->children);
        out += " }";
    } else {
        out += "Symlink { target: ";
        append_number(out, node.as_link()->target);
        out += " }";
    }
}

void append_inode(std::string &out, const INode &node) {
    out += "INode { id: ";
    append_number(out, node.id);
    out += ", parent: ";
    append_number(out, node.parent.load(std::memory_order_acquire));
    out += ", depth: ";
    append_number(out, static_cast<std::uint64_t>(node.depth.load(std::memory_order_relaxed)));
    out += ", name: ";
    {
        // A rename may give the node a new name meanwhile; the guard keeps this one alive.
        const epoch::Guard guard;
        append_quoted(out, node.name_view());
    }
    out += ", data: RwLock { data: ";
    // Never wait: a node whose lock a writer holds shows as locked.
    std::shared_lock guard(node.lock, std::try_to_lock);
    if (guard.owns_lock()) {
        append_kind(out, node);
    } else {
        out += "<locked>";
    }
    out += ", poisoned: false, .. } }";
}

} // namespace

std::string render_quoted_name(std::string_view name) {
    std::string out;
    append_quoted(out, name);
    return out;
}

std::string FileSystem::render() const {
    std::string out = "FileSystem { inodes: {";
    bool first = true;
    for (const INodeRef &node : inodes_.snapshot()) {
        if (!first) out += ", ";
        first = false;
        append_number(out, node->id);
        out += ": ";
        append_inode(out, *node);
    }
    out += "}, next_inode_id: ";
    append_number(out, next_inode_id());
    out += " }";
    return out;
}

} // namespace quorvex::fs
