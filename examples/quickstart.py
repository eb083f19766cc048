"""A first tour of quorvex: a file system that lives only in memory."""
import quorvex

fs = quorvex.PyFs()
fs.mkdir("/docs")
fs.touch("/docs/empty.txt")

# Writing does not move the offset: seek past what you wrote to append more.
notes = fs.open("/docs/notes.txt", "w")
notes.write(b"hello, ")
notes.seek(7, quorvex.Whence.SEEK_SET)
notes.write(b"world")
notes.close()

# read() prints a line such as "Read 12 bytes from file" on standard output.
reader = fs.open("/docs/notes.txt", "r")
print(reader.read(100))
reader.close()

print(fs.listdir("/docs"))
print(fs.tree("/"), end="")

# The terminal works on the same file system, with a working directory of its own.
term = quorvex.PyTerm(fs)
term.exec("cd docs")
print(term.exec("pwd"))
print(term.exec("ls"), end="")
print(term.exec("cat notes.txt"))

try:
    fs.mkdir("/docs")
except ValueError as error:
    print("mkdir /docs:", error)

fs.remove("/docs", True)
print(fs.listdir("/"))
