// Sequences of file-system and terminal operations on one file system, each compared with
// the reference model; after every step the whole tree must match the model node for node,
// and the files removed under shared handles must be alive exactly while those are open.
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
    bool shared = false; // from open_shared
    bool append = false;
    std::uint64_t offset = 0;
};

class Session {
  public:
    explicit Session(FuzzedDataProvider &input) : in_(input) {}

    void step() {
        using Op = void (Session::*)();
        static constexpr std::array<Op, 16> kOps{
            &Session::make_node,  &Session::open,        &Session::use_handle,
            &Session::use_handle, &Session::list,        &Session::remove,
            &Session::path_of,    &Session::render,      &Session::run_terminal,
            &Session::fill,       &Session::open_shared, &Session::stat,
            &Session::set_times,  &Session::set_limits,  &Session::rename,
            &Session::rename};
        (this->*kOps[in_.ConsumeIntegralInRange<std::size_t>(0, kOps.size() - 1)])();
        check_against_model();
    }

    // Closing every handle leaves every file's lock free.
    void finish() {
        for (Slot &s : slots_)
            drop(s);
        check_against_model();
        fuzz::check_tree(*fs_, [](const fs::INode &node) {
            if (const auto *file = node.as_file()) FUZZ_CHECK(file->lock.flag() == 0);
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
        release(s);
        s.handle = std::move(*real);
        s.id = *expected, s.mode = *mode, s.open = true, s.offset = 0;
        s.shared = s.append = false;
    }

    // Any combination of the flags, the senseless ones included.
    void open_shared() {
        const auto bits = in_.ConsumeIntegral<std::uint8_t>();
        const fs::OpenFlags flags{fs::FileHandleType(bits & 3u), (bits & 4u) != 0, (bits & 8u) != 0,
                                  (bits & 16u) != 0, (bits & 32u) != 0};
        auto real = fs::FileSystem::open_shared(fs_, path(), flags);
        auto expected = model_.open_shared(path_, flags);
        same_outcome(real, expected);
        if (!real.ok()) return;
        FUZZ_CHECK(real->id() == *expected && real->offset() == 0 && real->is_shared());
        Slot &s = slots_[in_.ConsumeIntegralInRange<std::size_t>(0, slots_.size() - 1)];
        release(s);
        s.handle = std::move(*real);
        s.id = *expected, s.mode = flags.mode, s.open = true, s.offset = 0;
        s.shared = true, s.append = flags.append;
    }

    // What closing the slot's handle gives back in the model.
    void release(Slot &s) {
        if (!s.open) return;
        if (s.shared) {
            model_.release_shared(s.id);
        } else {
            model_.release(s.id, s.mode.can_write());
        }
    }

    // The node at a path as the model has it: kind, size, id and, where the model knows
    // it, the modification time. A path that fails fails alike for set_times.
    void stat() {
        auto real = fs_->stat(path());
        auto id = model_.resolve_path(path_);
        same_outcome(real, id);
        if (real.ok()) check_stat(*real, *id);
    }

    void check_stat(const fs::NodeStat &real, InodeId id) {
        const fuzz::ModelNode &node = model_.file(id);
        FUZZ_CHECK(real.id == id && real.birth_ns > 0);
        FUZZ_CHECK(real.kind ==
                   (node.directory ? fs::NodeStat::Kind::Directory : fs::NodeStat::Kind::File));
        FUZZ_CHECK(real.size == (node.directory ? node.children.size() : node.bytes.size()));
        FUZZ_CHECK(node.mtime ? real.mtime_ns == *node.mtime : real.mtime_ns > 0);
    }

    // Negative times only, which the clock never gives, so that a later stamp shows.
    void set_times() {
        const std::int64_t time = -in_.ConsumeIntegralInRange<std::int64_t>(1, 1000);
        auto real = fs_->set_times(path(), time);
        auto id = model_.resolve_path(path_);
        same_outcome(real, id);
        if (id.ok()) model_.nodes.at(*id).mtime = time;
    }

    // Limits near what is held, above and below it, or none.
    void set_limits() {
        const auto near = [&](std::uint64_t held) -> std::optional<std::uint64_t> {
            if (in_.ConsumeBool()) return std::nullopt;
            const auto delta = in_.ConsumeIntegralInRange<std::int64_t>(-2, 64);
            if (delta < 0)
                return held < static_cast<std::uint64_t>(-delta)
                           ? 0
                           : held - static_cast<std::uint64_t>(-delta);
            return held + static_cast<std::uint64_t>(delta);
        };
        const auto bytes = near(model_.bytes_held());
        const auto count = near(model_.nodes_held());
        same_outcome(fs_->set_limits(bytes, count),
                     model_.set_limits(bytes.value_or(fs::Usage::kUnlimited),
                                       count.value_or(fs::Usage::kUnlimited)));
    }

    // Read, write, seek, close, destroy, truncate or stat one handle.
    void use_handle() {
        Slot &s = slots_[in_.ConsumeIntegralInRange<std::size_t>(0, slots_.size() - 1)];
        const int op = in_.ConsumeIntegralInRange(0, 6);
        if (!s.handle) return;
        if (op == 4) return drop(s);
        std::optional<fs::IoError> refused;
        if (!s.open) {
            refused = IoErrorKind::InvalidFileDescriptor;
        } else if (op == 0 && !s.mode.can_read()) {
            refused = fs::IoError::operation_not_supported("read");
        } else if (op == 1 && !s.mode.can_write()) {
            refused = fs::IoError::operation_not_supported("write");
        } else if (op == 5 && !s.mode.can_write()) {
            refused = fs::IoError::operation_not_supported("truncate");
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
                const auto &bytes = model_.file(s.id).bytes;
                const auto end = buffer.begin() + static_cast<std::ptrdiff_t>(*count);
                // A shared handle's truncation may have left the offset past the end.
                const std::size_t left = s.offset < bytes.size() ? bytes.size() - s.offset : 0;
                FUZZ_CHECK(*count == std::min(buffer.size(), left));
                FUZZ_CHECK(std::equal(buffer.begin(), end, bytes.begin() + (left ? s.offset : 0)));
                FUZZ_CHECK(std::all_of(end, buffer.end(), [](auto b) { return b == 0xAA; }));
                s.offset += *count;
            }
        } else if (op == 1) {
            const bool advancing = in_.ConsumeBool();
            const auto data = in_.ConsumeBytes<std::uint8_t>(in_.ConsumeIntegralInRange(0, 48));
            auto count = advancing ? s.handle->write_advancing(data) : s.handle->write(data);
            status = outcome(count);
            std::uint64_t at = 0;
            if (!refused && !data.empty()) {
                const auto &bytes = model_.file(s.id).bytes;
                at = s.append ? bytes.size() : s.offset;
                const auto grown =
                    model_.resize(s.id, std::max<std::uint64_t>(bytes.size(), at + data.size()));
                if (!grown) refused = grown.error();
            }
            if (!refused && count.ok()) {
                FUZZ_CHECK(*count == data.size());
                if (!data.empty()) {
                    auto &bytes = model_.file(s.id).bytes;
                    std::copy(data.begin(), data.end(),
                              bytes.begin() + static_cast<std::ptrdiff_t>(at));
                    model_.stamp(s.id);
                    if (advancing) s.offset = at + data.size();
                }
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
                const std::uint64_t length = model_.file(s.id).bytes.size();
                std::uint64_t target = distance;
                if (origin == fs::SeekOrigin::End)
                    target = distance > length ? 0 : length - distance;
                if (origin == fs::SeekOrigin::Current)
                    target = distance > kMax - s.offset ? kMax : s.offset + distance;
                s.offset = std::min(target, length);
            }
        } else if (op == 5) {
            const auto size = in_.ConsumeIntegralInRange<std::uint64_t>(0, 90);
            status = s.handle->truncate(size);
            if (!refused) {
                const auto resized = model_.resize(s.id, size);
                if (!resized) refused = resized.error();
            }
            if (!refused) s.offset = std::min(s.offset, size), model_.stamp(s.id);
        } else if (op == 6) {
            auto real = s.handle->stat();
            status = real.ok() ? fs::Status() : fs::Status(real.error());
            if (!refused && real.ok()) check_stat(*real, s.id);
        } else {
            status = s.handle->close();
            if (!refused) release(s), s.open = false;
        }
        FUZZ_CHECK(refused ? !status.ok() && status.error() == *refused : status.ok());
    }

    void drop(Slot &s) {
        release(s);
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
        // A removed file lives exactly as long as a shared handle holds it.
        FUZZ_CHECK(fs_->live_nodes() == model_.nodes_held());
        const fs::Usage::Counts usage = fs_->usage().counts();
        FUZZ_CHECK(usage.bytes == model_.bytes_held() && usage.nodes == model_.nodes_held());
        fuzz::check_tree(*fs_, [&](const fs::INode &node) {
            const auto it = model_.nodes.find(node.id);
            FUZZ_CHECK(it != model_.nodes.end());
            const fuzz::ModelNode &expected = it->second;
            FUZZ_CHECK(node.parent == expected.parent && node.name_view() == expected.name);
            const std::int64_t mtime = node.mtime_ns.load();
            FUZZ_CHECK(expected.mtime ? mtime == *expected.mtime : mtime > 0);
            FUZZ_CHECK(node.depth == expected.depth);
            if (const auto *directory = node.as_directory()) {
                FUZZ_CHECK(expected.directory);
                FUZZ_CHECK(std::equal(directory->children.begin(), directory->children.end(),
                                      expected.children.begin(), expected.children.end()));
            } else {
                const auto &file = *node.as_file();
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
