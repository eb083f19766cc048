// Sequences of file-system and terminal operations on one file system, each compared with
// the reference model; after every step the whole tree must match the model node for node.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fs/file_handle.hpp"
#include "fuzz_check.hpp"
#include "model.hpp"
#include "terminal/terminal.hpp"
#include "terminal/utf8.hpp"

namespace {

using namespace quorvex;
using fs::InodeId;
using fs::IoErrorKind;
using fs::Result;

template <class T, class U> void same_outcome(const Result<T> &real, const Result<U> &expected) {
    FUZZ_CHECK(real.ok() == expected.ok());
    if (!real.ok()) FUZZ_CHECK(real.error().kind() == expected.error().kind());
}

Result<void> refusal(IoErrorKind kind) { return kind; }

constexpr std::array<const char *, 8> kComponents{"a", "b", "c", "", ".", "..", "\xC3\xA9", "q z"};
constexpr std::array<const char *, 5> kModes{"", "r", "w", "rw", "wr"};
constexpr std::array<const char *, 8> kCommands{"cd",    "ls",    "pwd",  "cat",
                                                "mkdir", "touch", "help", "rm"};
constexpr std::array<const char *, 14> kArguments{
    "a", "b", ".", "..", "/", "/a", "a/b", "//b", "b/", "'x y'", "x\\ y", "\"\"", "#c", "a\\\\c"};

struct Slot {
    std::optional<fs::FileHandle> handle;
    InodeId id = 0;
    fs::FileHandleType mode;
    bool open = false;
    std::uint64_t offset = 0;
};

class Session {
  public:
    explicit Session(FuzzedDataProvider &input) : in_(input) {}

    void step() {
        using Op = void (Session::*)();
        static constexpr std::array<Op, 12> kOps{
            &Session::make_node,    &Session::open,   &Session::use_handle, &Session::use_handle,
            &Session::list,         &Session::remove, &Session::path_of,    &Session::render,
            &Session::run_terminal, &Session::fill,   &Session::rename,     &Session::rename};
        (this->*kOps[in_.ConsumeIntegralInRange<std::size_t>(0, kOps.size() - 1)])();
        check_against_model();
    }

    // Closing every handle leaves every file's lock free.
    void finish() {
        for (Slot &s : slots_)
            drop(s);
        check_against_model();
        fuzz::check_tree(*fs_, [](const fs::INode &, const fs::INodeKind &kind) {
            if (const auto *file = std::get_if<fs::File>(&kind)) FUZZ_CHECK(file->lock.flag() == 0);
        });
    }

  private:
    const std::string &path() {
        path_ = in_.ConsumeBool() ? "/" : "";
        for (int n = in_.ConsumeIntegralInRange(0, 4), i = 0; i < n; ++i) {
            if (i > 0) path_ += in_.ConsumeBool() ? '/' : '\\';
            // A few fixed names, or one of a numbered family that fills large directories.
            const auto pick = in_.ConsumeIntegralInRange<std::size_t>(0, kComponents.size());
            path_ += pick < kComponents.size()
                         ? kComponents[pick]
                         : "n" + std::to_string(in_.ConsumeIntegralInRange(0, 40));
        }
        return path_;
    }

    InodeId pick_id() { return in_.ConsumeIntegralInRange<InodeId>(0, model_.next_id); }

    void make_node() {
        const bool directory = in_.ConsumeBool();
        auto real = directory ? fs_->mkdir(path()) : fs_->touch(path());
        same_outcome(real, model_.make(path_, directory));
    }

    // A chain of nested directories deep enough for the depth limit, or many entries in one
    // directory (enough for its name index) and then removal of every few of them (enough
    // to leave holes in its list and have them compacted).
    void fill() {
        const std::string base = path();
        const bool chain = in_.ConsumeBool();
        const int count = in_.ConsumeIntegralInRange(1, 70);
        std::string name = base;
        for (int i = 0; i < count; ++i) {
            name = chain ? name + "/d" : base + "/n" + std::to_string(i);
            const bool directory = chain || i % 3 == 0;
            auto real = directory ? fs_->mkdir(name) : fs_->touch(name);
            same_outcome(real, model_.make(name, directory));
        }
        const int stride = in_.ConsumeIntegralInRange(1, 4);
        for (int i = in_.ConsumeIntegralInRange(0, 3); !chain && i < count; i += stride) {
            name = base + "/n" + std::to_string(i);
            auto id = model_.resolve_path(name);
            same_outcome(fs_->rm(name, false),
                         id ? model_.remove(*id, false) : refusal(id.error().kind()));
        }
    }

    void open() {
        auto mode = fs::FileHandleType::from_str(kModes[in_.ConsumeIntegralInRange(0, 4)]);
        FUZZ_CHECK(mode.ok());
        const bool create = in_.ConsumeBool();
        auto real = fs::FileSystem::open(fs_, path(), *mode, create);
        auto expected = model_.open(path_, mode->can_write(), create);
        same_outcome(real, expected);
        if (!real.ok()) return;
        FUZZ_CHECK(real->id() == *expected && real->offset() == 0);
        Slot &s = slots_[in_.ConsumeIntegralInRange<std::size_t>(0, slots_.size() - 1)];
        // Moving a handle into an occupied slot closes the handle it held.
        if (s.open) model_.release(s.id, s.mode.can_write());
        s.handle = std::move(*real);
        s.id = *expected, s.mode = *mode, s.open = true, s.offset = 0;
    }

    // Read, write, seek, close or destroy one handle.
    void use_handle() {
        Slot &s = slots_[in_.ConsumeIntegralInRange<std::size_t>(0, slots_.size() - 1)];
        const int op = in_.ConsumeIntegralInRange(0, 4);
        if (!s.handle) return;
        if (op == 4) return drop(s);
        std::optional<fs::IoError> refused;
        if (!s.open) {
            refused = IoErrorKind::InvalidFileDescriptor;
        } else if (op == 0 && !s.mode.can_read()) {
            refused = fs::IoError::operation_not_supported("read");
        } else if (op == 1 && !s.mode.can_write()) {
            refused = fs::IoError::operation_not_supported("write");
        }
        const auto outcome = [](const Result<std::size_t> &r) {
            return r.ok() ? fs::Status() : fs::Status(r.error());
        };
        fs::Status status;
        if (op == 0) {
            std::vector<std::uint8_t> buffer(in_.ConsumeIntegralInRange<std::size_t>(0, 80), 0xAA);
            auto count = s.handle->read(buffer);
            status = outcome(count);
            if (!refused && count.ok()) {
                const auto &bytes = model_.nodes.at(s.id).bytes;
                const auto end = buffer.begin() + static_cast<std::ptrdiff_t>(*count);
                FUZZ_CHECK(*count == std::min(buffer.size(), bytes.size() - s.offset));
                FUZZ_CHECK(std::equal(buffer.begin(), end, bytes.begin() + s.offset));
                FUZZ_CHECK(std::all_of(end, buffer.end(), [](auto b) { return b == 0xAA; }));
                s.offset += *count;
            }
        } else if (op == 1) {
            const auto data = in_.ConsumeBytes<std::uint8_t>(in_.ConsumeIntegralInRange(0, 48));
            auto count = s.handle->write(data);
            status = outcome(count);
            if (!refused && count.ok()) {
                FUZZ_CHECK(*count == data.size());
                auto &bytes = model_.nodes.at(s.id).bytes;
                bytes.resize(std::max(bytes.size(), s.offset + data.size()));
                std::copy(data.begin(), data.end(), bytes.begin() + s.offset);
            }
        } else if (op == 2) {
            constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
            constexpr std::array<std::uint64_t, 7> kDistances{0, 1, 3, 8, 100, kMax - 1, kMax};
            const auto origin = static_cast<fs::SeekOrigin>(in_.ConsumeIntegralInRange(0, 2));
            const std::uint64_t distance = in_.ConsumeBool()
                                               ? kDistances[in_.ConsumeIntegralInRange(0, 6)]
                                               : in_.ConsumeIntegral<std::uint64_t>();
            status = s.handle->seek(origin, distance);
            if (!refused) {
                const std::uint64_t length = model_.nodes.at(s.id).bytes.size();
                std::uint64_t target = distance;
                if (origin == fs::SeekOrigin::End)
                    target = distance > length ? 0 : length - distance;
                if (origin == fs::SeekOrigin::Current)
                    target = distance > kMax - s.offset ? kMax : s.offset + distance;
                s.offset = std::min(target, length);
            }
        } else {
            status = s.handle->close();
            if (!refused) model_.release(s.id, s.mode.can_write()), s.open = false;
        }
        FUZZ_CHECK(refused ? !status.ok() && status.error() == *refused : status.ok());
    }

    void drop(Slot &s) {
        if (s.open) model_.release(s.id, s.mode.can_write());
        s.handle.reset();
        s.open = false;
    }

    void list() {
        const InodeId id = pick_id();
        auto real = fs_->ls_raw(id);
        auto expected = model_.listing(id);
        same_outcome(real, expected);
        if (!real.ok()) return;
        FUZZ_CHECK(real->files == expected->files && real->directories == expected->directories);
    }

    void remove() {
        const bool recurse = in_.ConsumeBool();
        auto real = fs_->rm(path(), recurse);
        auto id = model_.resolve_path(path_);
        same_outcome(real, id.ok() ? model_.remove(*id, recurse) : refusal(id.error().kind()));
    }

    void rename() {
        const std::string from = path();
        same_outcome(fs_->rename(from, path()), model_.rename(from, path_));
    }

    void path_of() {
        const InodeId id = pick_id();
        auto real = fs_->get_path_by_inode(id);
        auto expected = model_.path_of(id);
        same_outcome(real, expected);
        if (real.ok()) FUZZ_CHECK(*real == *expected);
    }

    // Every entry renders as the model says, in whatever order the table yields. The
    // model's names need no escaping.
    void render() {
        const auto list = [](const auto &values) {
            std::string out = "[";
            for (const auto value : values)
                out += (out.size() > 1 ? ", " : "") + std::to_string(value);
            return out + "]";
        };
        const std::string text = fs_->render();
        const std::string head = "FileSystem { inodes: {";
        const std::string tail = "}, next_inode_id: " + std::to_string(model_.next_id) + " }";
        FUZZ_CHECK(text.starts_with(head) && text.ends_with(tail));
        std::size_t length = head.size() + tail.size() + 2 * (model_.nodes.size() - 1);
        for (const auto &[id, node] : model_.nodes) {
            std::string entry = std::to_string(id) + ": INode { id: " + std::to_string(id) +
                                ", parent: " + std::to_string(node.parent) +
                                ", depth: " + std::to_string(node.depth) + ", name: \"" +
                                node.name + "\", data: RwLock { data: ";
            entry += node.directory
                         ? "Directory { children: " + list(node.children) + " }"
                         : "File { data: FileData { data: " + list(node.bytes) +
                               " }, lock: FileLock { flag: " + std::to_string(node.flag) + " } }";
            entry += ", poisoned: false, .. } }";
            FUZZ_CHECK(text.find(entry) != std::string::npos);
            length += entry.size();
        }
        FUZZ_CHECK(text.size() == length);
    }

    // A few lines in a row, so that commands meet a working directory other than the root.
    void run_terminal() {
        for (int lines = in_.ConsumeIntegralInRange(1, 4); lines > 0; --lines) {
            std::string line = kCommands[in_.ConsumeIntegralInRange<std::size_t>(0, 7)];
            for (int n = in_.ConsumeIntegralInRange(0, 2); n > 0; --n) {
                line += in_.ConsumeBool() ? ' ' : '\t';
                line +=
                    kArguments[in_.ConsumeIntegralInRange<std::size_t>(0, kArguments.size() - 1)];
            }
            const auto words = terminal::split(line);
            FUZZ_CHECK(words.has_value());
            auto expected = expect_terminal(*words);
            auto real = terminal_.run(line);
            FUZZ_CHECK(real.ok() == expected.has_value());
            if (real.ok() && *expected) FUZZ_CHECK(*real == **expected);
            FUZZ_CHECK(terminal_.context().cwd == cwd_);
        }
    }

    // nullopt when the line must fail; otherwise the output, when the model can tell it.
    std::optional<std::optional<std::string>>
    expect_terminal(const std::vector<std::string> &words) {
        using Output = std::optional<std::string>;
        const std::string command = words.empty() ? "" : words[0];
        const std::string *argument = words.size() > 1 ? &words[1] : nullptr;
        const auto target = [&](std::string_view name) {
            InodeId start = cwd_;
            if (name.starts_with('/')) name.remove_prefix(1), start = fs::kRootId;
            return model_.find(start, name);
        };
        if (words.empty()) return Output("");
        if (command == "help") return Output();
        if (command == "pwd") {
            auto path = model_.path_of(cwd_);
            if (!path) return std::nullopt;
            return Output(*path);
        }
        if (command == "ls") {
            auto id = argument ? target(*argument) : Result<InodeId>(cwd_);
            auto listing = id ? model_.listing(*id) : Result<fs::Listing>(id.error());
            if (!listing) return std::nullopt;
            std::string output;
            for (const auto &name : listing->files)
                output += name + "\n";
            for (const auto &name : listing->directories)
                output += name + "/\n";
            return Output(output);
        }
        if (command == "cd" || command == "cat") {
            auto id = argument ? target(*argument) : Result<InodeId>(IoErrorKind::InodeNotFound);
            if (!id) return std::nullopt;
            const fuzz::ModelNode &node = model_.nodes.at(*id);
            if (command == "cd") {
                if (!node.directory) return std::nullopt;
                cwd_ = *id;
                return Output("");
            }
            if (node.directory || node.flag < 0) return std::nullopt;
            return Output(terminal::decode_utf8_lossy(node.bytes));
        }
        if ((command == "mkdir" || command == "touch") && argument) {
            const fs::SplitPath parts = fs::split_last_component(*argument);
            InodeId parent = cwd_;
            if (!parts.parent.empty()) {
                auto id = target(parts.parent);
                if (!id) return std::nullopt;
                parent = *id;
            }
            if (!model_.nodes.contains(parent) || !model_.nodes.at(parent).directory)
                return std::nullopt;
            if (!model_.create(parent, parts.name, command == "mkdir")) return std::nullopt;
            return Output("");
        }
        return std::nullopt;
    }

    void check_against_model() {
        FUZZ_CHECK(fs_->next_inode_id() == model_.next_id);
        FUZZ_CHECK(fs_->inode_count() == model_.nodes.size());
        fuzz::check_tree(*fs_, [&](const fs::INode &node, const fs::INodeKind &kind) {
            const auto it = model_.nodes.find(node.id);
            FUZZ_CHECK(it != model_.nodes.end());
            const fuzz::ModelNode &expected = it->second;
            FUZZ_CHECK(node.parent == expected.parent && node.name_view() == expected.name);
            FUZZ_CHECK(node.depth == expected.depth);
            if (const auto *directory = std::get_if<fs::Directory>(&kind)) {
                FUZZ_CHECK(expected.directory);
                FUZZ_CHECK(std::equal(directory->children.begin(), directory->children.end(),
                                      expected.children.begin(), expected.children.end()));
            } else {
                const auto &file = std::get<fs::File>(kind);
                FUZZ_CHECK(!expected.directory && file.lock.flag() == expected.flag);
                FUZZ_CHECK(std::equal(file.data.data.begin(), file.data.data.end(),
                                      expected.bytes.begin(), expected.bytes.end()));
            }
        });
        for (const Slot &s : slots_) {
            if (s.handle)
                FUZZ_CHECK(s.handle->is_open() == s.open && s.handle->offset() == s.offset);
        }
    }

    FuzzedDataProvider &in_;
    std::shared_ptr<fs::FileSystem> fs_ = fs::FileSystem::make();
    terminal::Terminal terminal_{fs_};
    fuzz::Model model_;
    InodeId cwd_ = fs::kRootId;
    std::array<Slot, 6> slots_;
    std::string path_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    Session session(input);
    while (input.remaining_bytes() > 0)
        session.step();
    session.finish();
    return 0;
}
