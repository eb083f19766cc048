// The documentation of the classes and their methods. A class with a constructor, and
// every method, starts with its text signature: "name(signature)\n--\n\n", which the
// interpreter splits off into __text_signature__.
#pragma once

namespace quorvex::py::doc {

inline constexpr const char kPyFs[] =
    "PyFs()\n--\n\n"
    "\n"
    "A highly simplified binding for a simple filesystem.\n"
    "\n"
    "This class is a simple wrapper around the FileSystem struct. It defines\n"
    "the basis for a small filesystem that can be used in Python. The filesystem\n"
    "can handle files, nested directories and symlinks.\n"
    "\n"
    "The filesystem is thread-safe and can be shared between multiple threads.\n";

inline constexpr const char kMkdir[] =
    "mkdir($self, path)\n--\n\n"
    "\n"
    "Create a new directory in the filesystem.\n"
    "\n"
    "This function creates a new directory in the filesystem. The function will\n"
    "return an error if the directory could not be created.\n";

inline constexpr const char kTouch[] =
    "touch($self, path)\n--\n\n"
    "\n"
    "Create a new file in the filesystem.\n"
    "\n"
    "This function creates a new file in the filesystem. The function will return\n"
    "an error if the file could not be created.\n";

inline constexpr const char kOpen[] =
    "open($self, path, mode)\n--\n\n"
    "\n"
    "Open a file in the filesystem.\n"
    "\n"
    "This function opens a file in the filesystem. The function will return a file\n"
    "handle that can be used to read and write data to the file. The function will\n"
    "return an error if the file could not be opened.\n";

inline constexpr const char kListdir[] =
    "listdir($self, path)\n--\n\n"
    "\n"
    "List the contents of a directory.\n"
    "\n"
    "This function lists the contents of a directory. The function will return a\n"
    "list of strings with the names of the files and directories in the directory.\n"
    "The function will return an error if the directory could not be listed.\n";

// The signature shows a default that the method does not have: recurse is required.
inline constexpr const char kRemove[] = "remove(recurse=False)\n--\n\n"
                                        "\n"
                                        "Remove a file from the filesystem.\n";

inline constexpr const char kTree[] =
    "tree($self, path, ident=None)\n--\n\n"
    "\n"
    "Debug the file system\n"
    "\n"
    "This function will return a debug representation of the filesystem as a string.\n";

inline constexpr const char kPyFileHandle[] =
    "\n"
    "A simple wrapper around the FileHandle struct.\n"
    "\n"
    "This class is a simple wrapper around the FileHandle struct. It defines\n"
    "the basis for a file handle that can be used in Python. The file handle\n"
    "can be used to read and write data to a file.\n"
    "\n"
    "A file handle is always associated with a filesystem and an inode. The\n"
    "file handle can be used to read and write data to the file.\n";

inline constexpr const char kId[] = "id($self)\n--\n\n"
                                    "\n"
                                    "Returns a string representation of the file handle.\n";

inline constexpr const char kClose[] =
    "close($self)\n--\n\n"
    "\n"
    "Close the file handle.\n"
    "\n"
    "Notice that the pyobject still holds a reference to the file handle. However\n"
    "any subsequent read or write operation will fail.\n"
    "\n"
    "Small Note on garbage collection: The file handle will internally be closed\n"
    "HOWEVER it will still keep the file system and inode alive. Until the file\n"
    "handle is dropped.\n";

inline constexpr const char kRead[] =
    "read($self, buffer)\n--\n\n"
    "\n"
    "Read data from the file handle.\n"
    "\n"
    "This function reads data from the file handle. The function will return a\n"
    "byte array with the data that was read from the file. The function will\n"
    "return an error if the read operation failed.\n";

inline constexpr const char kWrite[] =
    "write($self, buffer)\n--\n\n"
    "\n"
    "Write data to the file handle.\n"
    "\n"
    "This function writes data to the file handle. The function will return the\n"
    "number of bytes that were written to the file. The function will return an\n"
    "error if the write operation failed.\n";

inline constexpr const char kSeek[] =
    "seek($self, offset, whence)\n--\n\n"
    "\n"
    "Seek a certain position in the file.\n"
    "\n"
    "This function seeks a certain position in the file. The function will return\n"
    "the new position in the file. The function will return an error if the seek\n"
    "operation failed.\n";

inline constexpr const char kTell[] =
    "tell($self)\n--\n\n"
    "\n"
    "Tell the current position in the file.\n"
    "\n"
    "This function returns the current position in the file. The function will\n"
    "return an error if the tell operation failed.\n";

// The members added for Python's own file objects (quorvex_fs builds them on these).
inline constexpr const char kOpenExisting[] =
    "open_existing($self, path, mode)\n--\n\n"
    "\n"
    "Open a file that already exists.\n"
    "\n"
    "Like open, but a missing file is an error (\"Inode not found\") instead of being\n"
    "created. The lookup and the open are one step, so a file removed meanwhile by\n"
    "another thread is never brought back empty.\n";

inline constexpr const char kRename[] =
    "rename($self, src, dst)\n--\n\n"
    "\n"
    "Move a file or directory to a new path, as one step.\n"
    "\n"
    "Works as the rename of a POSIX system: the entry at src moves to the path dst, in\n"
    "the same directory or another, and becomes the last entry there. A file replaces\n"
    "a file at dst, a directory replaces an empty directory; a file or directory\n"
    "onto itself changes nothing. On failure nothing changes, and the ValueError\n"
    "carries kind and errno: a directory onto a file (NotADirectory), a file onto a\n"
    "directory (NotAFile), onto a directory that is not empty (DirectoryIsNotEmpty),\n"
    "a directory into its own subtree (InvalidMove), past the depth limit\n"
    "(MaxRecursionDepthExceeded), a replaced file that an open handle holds, or the\n"
    "root, \".\" or \"..\" on either side (ResourceCurrentInUse).\n";

inline constexpr const char kReadinto[] =
    "readinto($self, buffer)\n--\n\n"
    "\n"
    "Read data from the file handle into a writable buffer.\n"
    "\n"
    "Fills the buffer (a bytearray, memoryview or other writable contiguous buffer)\n"
    "from the handle's offset, moves the offset past the bytes read and returns their\n"
    "count. Unlike read it prints nothing. Its failures are those of read.\n";

inline constexpr const char kTruncate[] =
    "truncate($self, size)\n--\n\n"
    "\n"
    "Set the length of the file.\n"
    "\n"
    "Cuts the file to size bytes or extends it with zero bytes, and returns size. The\n"
    "handle needs the write flag; an offset past the new end is moved back to it.\n";

inline constexpr const char kStat[] =
    "stat($self, path)\n--\n\n"
    "\n"
    "Describe the node at a path.\n"
    "\n"
    "Returns a read-only result with the fields kind (\"file\", \"directory\" or\n"
    "\"symlink\"), size (bytes of a file, entries of a directory), id, mtime_ns and\n"
    "birth_ns (nanoseconds since the Unix epoch). It takes no file lock, so it answers\n"
    "while any handle holds the file, and it changes nothing.\n";

inline constexpr const char kSetTimes[] =
    "set_times($self, path, mtime_ns)\n--\n\n"
    "\n"
    "Set the modification time of the node at a path.\n"
    "\n"
    "mtime_ns is an int of nanoseconds since the Unix epoch; times before it are\n"
    "negative, as os.utime accepts them.\n";

inline constexpr const char kSetLimits[] =
    "set_limits($self, max_bytes=None, max_nodes=None)\n--\n\n"
    "\n"
    "Limit the bytes of all files and the number of nodes.\n"
    "\n"
    "None means no limit; the root counts as a node. A write, extension or creation\n"
    "that would pass a limit fails with \"No space left on device\" and changes\n"
    "nothing. Limits below the current usage are refused with the same error, and\n"
    "neither limit changes then.\n";

inline constexpr const char kUsage[] =
    "usage($self)\n--\n\n"
    "\n"
    "Return (bytes, nodes): what the filesystem holds.\n"
    "\n"
    "A removed file that open handles keep alive counts until its memory is freed.\n";

inline constexpr const char kHandleStat[] = "stat($self)\n--\n\n"
                                            "\n"
                                            "Describe the handle's file, as PyFs.stat does.\n";

inline constexpr const char kWriteFrom[] =
    "write_from($self, buffer)\n--\n\n"
    "\n"
    "Write data from any buffer to the file handle and move the offset.\n"
    "\n"
    "Takes any contiguous buffer (bytes, bytearray, memoryview, array, ...), copies it\n"
    "once into the file at the handle's offset (at the end, for a handle that appends),\n"
    "moves the offset past it and returns the count. Its failures are those of write.\n";

inline constexpr const char kOpenShared[] =
    "open_shared($self, path, flags)\n--\n\n"
    "\n"
    "Open a file with a handle that never blocks and is never blocked.\n"
    "\n"
    "flags combines the os module's constants: one of O_RDONLY, O_WRONLY and O_RDWR,\n"
    "and any of O_CREAT (make a missing file), O_EXCL (with O_CREAT: an existing one is\n"
    "an error), O_TRUNC (empty the file; needs writing) and O_APPEND (every write goes to\n"
    "the end; needs writing). The handle takes no part in the file's lock: it neither\n"
    "waits for nor refuses any open or removal, and after its file is removed it goes\n"
    "on reading and writing it until it closes.\n";

inline constexpr const char kWhence[] = "\n"
                                        "A small enumeration to determine the whence\n"
                                        "when seeking in a file.\n";

inline constexpr const char kPyTerm[] = "PyTerm(fs)\n--\n\n"
                                        "\n"
                                        "A structure representing a simple terminal\n";

inline constexpr const char kExec[] = "exec($self, command)\n--\n\n"
                                      "\n"
                                      "Execute a command in the terminal.\n";

inline constexpr const char kOpenFile[] =
    "open_file($self, path, flags)\n--\n\n"
    "\n"
    "Open a file as open_shared does, as a raw file of Python's io.\n"
    "\n"
    "The result behaves as io.FileIO does on Linux and is what quorvex_fs.open wraps\n"
    "in io's buffered and text classes: reads and writes of any buffer move the\n"
    "position, a seek past the end is allowed and a later write fills the gap with\n"
    "zero bytes, every write of an appending file goes to the end, and truncating\n"
    "never moves the position. Failures raise what io.FileIO raises: OSError with the\n"
    "errno, io.UnsupportedOperation, or ValueError once closed. Its name is `path`,\n"
    "its mode what io.FileIO shows for the same flags, and its handle the PyFileHandle\n"
    "underneath.\n";

inline constexpr const char kRawFile[] =
    "A raw binary file over one PyFileHandle of open_shared, with the semantics of\n"
    "io.FileIO on Linux. Made by PyFs.open_file; each call is atomic, as on a file\n"
    "descriptor.\n";
inline constexpr const char kRawRead[] =
    "read($self, size=-1, /)\n--\n\nRead at most size bytes; all that is left when size\n"
    "is negative or None.\n";
inline constexpr const char kRawReadall[] =
    "readall($self, /)\n--\n\nRead all bytes from the position to the end of the file.\n";
inline constexpr const char kRawReadinto[] =
    "readinto($self, buffer, /)\n--\n\nRead bytes into a writable buffer; returns their count.\n";
inline constexpr const char kRawReadline[] =
    "readline($self, size=-1, /)\n--\n\nRead one line, at most size bytes of it.\n";
inline constexpr const char kRawReadlines[] =
    "readlines($self, hint=-1, /)\n--\n\nRead lines until their length reaches hint, or all.\n";
inline constexpr const char kRawWrite[] =
    "write($self, b, /)\n--\n\nWrite the bytes of a buffer at the position; returns their "
    "count.\n";
inline constexpr const char kRawWritelines[] =
    "writelines($self, lines, /)\n--\n\nWrite each buffer of an iterable in turn.\n";
inline constexpr const char kRawSeek[] =
    "seek($self, pos, whence=0, /)\n--\n\nMove the position, from the start (0), the current\n"
    "position (1) or the end (2); returns the new position.\n";
inline constexpr const char kRawTell[] = "tell($self, /)\n--\n\nThe current position.\n";
inline constexpr const char kRawTruncate[] =
    "truncate($self, size=None, /)\n--\n\nSet the file's length (the position by default);\n"
    "the position stays.\n";
inline constexpr const char kRawClose[] = "close($self, /)\n--\n\nClose the file.\n";
inline constexpr const char kRawFlush[] =
    "flush($self, /)\n--\n\nNothing to do: every write is stored at once.\n";
inline constexpr const char kRawReadable[] =
    "readable($self, /)\n--\n\nWhether the file was opened for reading.\n";
inline constexpr const char kRawWritable[] =
    "writable($self, /)\n--\n\nWhether the file was opened for writing.\n";
inline constexpr const char kRawSeekable[] = "seekable($self, /)\n--\n\nAlways True.\n";
inline constexpr const char kRawIsatty[] = "isatty($self, /)\n--\n\nAlways False.\n";
inline constexpr const char kRawFileno[] =
    "fileno($self, /)\n--\n\nRaises io.UnsupportedOperation: no file descriptor is behind it.\n";
inline constexpr const char kRawClosed[] = "Whether the file is closed.";
inline constexpr const char kRawName[] = "The path the file was opened with.";
inline constexpr const char kRawMode[] = "The mode as io.FileIO shows it ('rb', 'wb', 'ab+', ...).";
inline constexpr const char kRawHandle[] = "The PyFileHandle underneath.";

} // namespace quorvex::py::doc
