// Tests for the line-ending programs tocrlf and tolf.  Each test runs the
// real binaries in a child process and looks at exit status, stdout and the
// files they leave behind.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#ifndef TOCRLF_PATH
#error "TOCRLF_PATH must name the tocrlf binary"
#endif
#ifndef TOLF_PATH
#error "TOLF_PATH must name the tolf binary"
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// ---------------------------------------------------------------------------
// Helpers

struct Limit {
    int resource = -1;  // -1: none
    rlim_t value = 0;
};

struct Child {
    pid_t pid = -1;
    int out_fd = -1;
};

struct Result {
    int status = -1;  // exit code, or 128 + signal number
    std::string out;
};

// Starts prog with args; stdout goes to a pipe, stderr to /dev/null.
Child start(const std::string& prog, const std::vector<std::string>& args,
            const std::string& cwd = "", Limit limit = {}) {
    std::vector<std::string> strs{prog};
    strs.insert(strs.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : strs) argv.push_back(s.data());
    argv.push_back(nullptr);

    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return {};
    pid_t pid = fork();
    if (pid < 0) {
        close(p[0]);
        close(p[1]);
        return {};
    }
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        if (dup2(p[1], 1) < 0 || devnull < 0 || dup2(devnull, 2) < 0) _exit(126);
        // Nothing but stdin, stdout and stderr may reach the program.
        for (int fd = 3; fd < 1024; fd++) close(fd);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        if (limit.resource >= 0) {
            struct rlimit rl = {limit.value, limit.value};
            if (setrlimit(limit.resource, &rl) != 0) _exit(126);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(p[1]);
    return {pid, p[0]};
}

Result finish(Child c) {
    Result r;
    if (c.pid < 0) return r;
    char buf[4096];
    ssize_t n;
    while ((n = read(c.out_fd, buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        r.out.append(buf, static_cast<size_t>(n));
    }
    close(c.out_fd);
    int st = 0;
    while (waitpid(c.pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(st))
        r.status = WEXITSTATUS(st);
    else if (WIFSIGNALED(st))
        r.status = 128 + WTERMSIG(st);
    return r;
}

Result run(const std::string& prog, const std::vector<std::string>& args,
           const std::string& cwd = "", Limit limit = {}) {
    return finish(start(prog, args, cwd, limit));
}

std::string converted_line(const std::string& path) {
    return path + "     converted\n";
}

void write_file(const fs::path& p, const std::string& data) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
    ASSERT_TRUE(f.good()) << p;
}

std::string read_file(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    EXPECT_TRUE(f.good()) << p;
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::vector<std::string> list_dir(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

fs::path make_temp_dir(const std::string& parent) {
    std::string tmpl = parent + "/lineend-XXXXXX";
    if (!mkdtemp(tmpl.data())) return {};
    return tmpl;
}

std::string tmp_root() {
    const char* t = std::getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}

// Repeats the pair (in, out) until the input holds at least min_size bytes.
struct Pair {
    std::string in, out;
};
Pair repeat(const Pair& unit, size_t min_size) {
    Pair p;
    while (p.in.size() < min_size) {
        p.in += unit.in;
        p.out += unit.out;
    }
    return p;
}

// What each program does to a small text, for tests about file handling
// rather than conversion.
struct Prog {
    const char* name;
    const char* path;
    Pair sample;
};

const Prog kToCrlf{"tocrlf", TOCRLF_PATH, {"one\ntwo\r\n", "one\r\ntwo\r\r\n"}};
const Prog kToLf{"tolf", TOLF_PATH, {"one\r\ntwo\x1a\n", "one\ntwo\n"}};

void PrintTo(const Prog& p, std::ostream* os) { *os << p.name; }

std::string prog_name(const ::testing::TestParamInfo<Prog>& info) {
    return info.param.name;
}

class LineEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = make_temp_dir(tmp_root());
        ASSERT_FALSE(dir_.empty()) << "mkdtemp: " << std::strerror(errno);
    }
    void TearDown() override {
        if (dir_.empty()) return;
        // Give back write access a test may have taken away.
        for (const auto& e : fs::recursive_directory_iterator(dir_))
            if (e.is_directory())
                fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add);
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path dir_;
};

// ---------------------------------------------------------------------------
// Conversion

struct ConvCase {
    const char* name;
    const Prog* prog;
    Pair data;
};

std::vector<ConvCase> conversion_cases() {
    const std::string kBig = "x"s + std::string(70000, 'y');  // over one block
    const Pair kCrlfText = repeat({"abcd\r\n", "abcd\n"}, 100000);
    return {
        {"crlf_empty", &kToCrlf, {"", ""}},
        {"crlf_plain_lines", &kToCrlf, {"one\ntwo\n", "one\r\ntwo\r\n"}},
        {"crlf_no_final_newline", &kToCrlf, {"one\ntwo", "one\r\ntwo"}},
        {"crlf_no_newline_at_all", &kToCrlf, {"text", "text"}},
        {"crlf_blank_lines", &kToCrlf, {"\n\n\n", "\r\n\r\n\r\n"}},
        {"crlf_crlf_gets_second_cr", &kToCrlf, {"a\r\nb\r\n", "a\r\r\nb\r\r\n"}},
        {"crlf_lone_cr_kept", &kToCrlf, {"a\rb\r", "a\rb\r"}},
        {"crlf_ctrl_z_kept", &kToCrlf, {"\x1a" "a\x1a\n\x1a", "\x1a" "a\x1a\r\n\x1a"}},
        {"crlf_neighbours_of_lf_kept", &kToCrlf, {"\t\v\f", "\t\v\f"}},
        {"crlf_nul_and_high_bytes", &kToCrlf,
         {"\0\n\x8a\x8d\xff\n\x80"s, "\0\r\n\x8a\x8d\xff\r\n\x80"s}},
        {"crlf_long_line", &kToCrlf, {kBig + "\n" + kBig, kBig + "\r\n" + kBig}},
        {"crlf_all_newlines_large", &kToCrlf, repeat({"\n", "\r\n"}, 300000)},
        {"crlf_short_lines_large", &kToCrlf, repeat({"abcde\n", "abcde\r\n"}, 300000)},

        {"lf_empty", &kToLf, {"", ""}},
        {"lf_crlf", &kToLf, {"one\r\ntwo\r\n", "one\ntwo\n"}},
        {"lf_crcrlf", &kToLf, {"a\r\r\nb", "a\nb"}},
        {"lf_lone_cr_dropped", &kToLf, {"\ra\rb\r", "ab"}},
        {"lf_only_crs", &kToLf, {"\r\r\r", ""}},
        {"lf_ctrl_z_anywhere", &kToLf, {"\x1a" "a\x1a" "b\n\x1a\x1a", "ab\n"}},
        {"lf_lf_kept", &kToLf, {"a\n\nb\n", "a\n\nb\n"}},
        {"lf_neighbours_kept", &kToLf, {"\t\n\v\f\x0e\x19\x1b", "\t\n\v\f\x0e\x19\x1b"}},
        {"lf_nul_and_high_bytes", &kToLf,
         {"\0\r\n\x8d\x9a\xff\x1a\0"s, "\0\n\x8d\x9a\xff\0"s}},
        {"lf_long_line", &kToLf, {kBig + "\r\n" + kBig, kBig + "\n" + kBig}},
        {"lf_all_crs_large", &kToLf, repeat({"\r", ""}, 300000)},
        {"lf_short_lines_large", &kToLf, repeat({"abcd\r\n", "abcd\n"}, 300000)},
        {"lf_no_change_large", &kToLf, repeat({"abcdefg\n", "abcdefg\n"}, 300000)},
        {"lf_ctrl_z_every_line_large", &kToLf, repeat({"ab\r\n\x1a", "ab\n"}, 300000)},
        {"lf_one_ctrl_z_large", &kToLf, {kCrlfText.in + "\x1a" + kCrlfText.in,
                                         kCrlfText.out + kCrlfText.out}},
    };
}

class Conversion : public LineEnd, public ::testing::WithParamInterface<ConvCase> {};

TEST_P(Conversion, RewritesFileAndReports) {
    const ConvCase& c = GetParam();
    const fs::path file = dir_ / "f.txt";
    write_file(file, c.data.in);

    Result r = run(c.prog->path, {file.string()});

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, converted_line(file.string()));
    EXPECT_TRUE(read_file(file) == c.data.out) << "output differs";
    EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"f.txt"});
}

INSTANTIATE_TEST_SUITE_P(, Conversion, ::testing::ValuesIn(conversion_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Command line

struct ArgCase {
    const char* name;
    const Prog* prog;
    int nargs;
};

class WrongArgCount : public LineEnd, public ::testing::WithParamInterface<ArgCase> {};

TEST_P(WrongArgCount, ExitsOneSilentlyAndTouchesNothing) {
    const ArgCase& c = GetParam();
    std::vector<std::string> args;
    for (int i = 0; i < c.nargs; i++) {
        fs::path f = dir_ / ("f" + std::to_string(i));
        write_file(f, c.prog->sample.in);
        args.push_back(f.string());
    }
    const auto before = list_dir(dir_);

    Result r = run(c.prog->path, args, dir_.string());

    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(list_dir(dir_), before);
    for (const auto& a : args) EXPECT_EQ(read_file(a), c.prog->sample.in) << a;
}

INSTANTIATE_TEST_SUITE_P(, WrongArgCount,
                         ::testing::Values(ArgCase{"tocrlf_none", &kToCrlf, 0},
                                           ArgCase{"tocrlf_two", &kToCrlf, 2},
                                           ArgCase{"tocrlf_three", &kToCrlf, 3},
                                           ArgCase{"tolf_none", &kToLf, 0},
                                           ArgCase{"tolf_two", &kToLf, 2},
                                           ArgCase{"tolf_three", &kToLf, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Inputs that cannot be read: status 1, nothing created.

class BadInput : public LineEnd, public ::testing::WithParamInterface<Prog> {};

TEST_P(BadInput, MissingFile) {
    Result r = run(GetParam().path, {(dir_ / "missing.txt").string()}, dir_.string());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(list_dir(dir_).empty());
}

TEST_P(BadInput, MissingFileRelative) {
    Result r = run(GetParam().path, {"missing.txt"}, dir_.string());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(list_dir(dir_).empty());
}

TEST_P(BadInput, Directory) {
    const fs::path sub = dir_ / "sub";
    fs::create_directory(sub);
    write_file(sub / "inner.txt", "x\r\n");

    Result r = run(GetParam().path, {sub.string()}, dir_.string());

    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(fs::is_directory(sub));
    EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"sub"});
    EXPECT_EQ(list_dir(sub), std::vector<std::string>{"inner.txt"});
}

TEST_P(BadInput, Unreadable) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
    const fs::path file = dir_ / "f.txt";
    write_file(file, GetParam().sample.in);
    ASSERT_EQ(chmod(file.c_str(), 0200), 0);

    Result r = run(GetParam().path, {file.string()});

    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"f.txt"});
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    EXPECT_EQ(read_file(file), GetParam().sample.in);
}

INSTANTIATE_TEST_SUITE_P(, BadInput, ::testing::Values(kToCrlf, kToLf), prog_name);

// ---------------------------------------------------------------------------
// Where the file lives

struct PlaceCase {
    const char* name;
    const char* cwd;   // relative to the test directory
    const char* path;  // as given on the command line; "" means absolute
};

class Placement : public LineEnd,
                  public ::testing::WithParamInterface<std::tuple<Prog, PlaceCase>> {};

TEST_P(Placement, ConvertsBesideTheFile) {
    const Prog& prog = std::get<0>(GetParam());
    const PlaceCase& c = std::get<1>(GetParam());
    fs::create_directories(dir_ / "data" / "sub");
    fs::create_directories(dir_ / "work");
    const fs::path file = dir_ / "data" / "sub" / "f.txt";
    write_file(file, prog.sample.in);
    const fs::path cwd = dir_ / c.cwd;
    const std::string arg = *c.path ? c.path : file.string();

    Result r = run(prog.path, {arg}, cwd.string());

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, converted_line(arg));
    EXPECT_EQ(read_file(file), prog.sample.out);
    EXPECT_EQ(list_dir(dir_ / "data" / "sub"), std::vector<std::string>{"f.txt"});
    EXPECT_EQ(list_dir(dir_ / "data"), std::vector<std::string>{"sub"});
    EXPECT_TRUE(list_dir(dir_ / "work").empty());
}

INSTANTIATE_TEST_SUITE_P(
    , Placement,
    ::testing::Combine(::testing::Values(kToCrlf, kToLf),
                       ::testing::Values(PlaceCase{"bare_name", "data/sub", "f.txt"},
                                         PlaceCase{"dot_slash", "data/sub", "./f.txt"},
                                         PlaceCase{"subdirectory", "data", "sub/f.txt"},
                                         PlaceCase{"sibling", "work", "../data/sub/f.txt"},
                                         PlaceCase{"absolute", "work", ""})),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

class FileHandling : public LineEnd, public ::testing::WithParamInterface<Prog> {};

TEST_P(FileHandling, OtherFileSystem) {
    struct stat shm;
    if (stat("/dev/shm", &shm) != 0 || !S_ISDIR(shm.st_mode) || access("/dev/shm", W_OK) != 0)
        GTEST_SKIP() << "/dev/shm unavailable";
    const fs::path other = make_temp_dir("/dev/shm");
    if (other.empty()) GTEST_SKIP() << "cannot create a directory in /dev/shm";
    const fs::path file = other / "f.txt";
    write_file(file, GetParam().sample.in);

    Result r = run(GetParam().path, {file.string()}, dir_.string());

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, converted_line(file.string()));
    EXPECT_EQ(read_file(file), GetParam().sample.out);
    EXPECT_EQ(list_dir(other), std::vector<std::string>{"f.txt"});
    EXPECT_TRUE(list_dir(dir_).empty());
    std::error_code ec;
    fs::remove_all(other, ec);
}

TEST_P(FileHandling, ConcurrentRunsInOneDirectory) {
    constexpr int kRuns = 8;
    const Pair data = repeat(GetParam().sample, 1 << 20);
    std::vector<std::string> names;
    for (int i = 0; i < kRuns; i++) {
        names.push_back("f" + std::to_string(i) + ".txt");
        write_file(dir_ / names.back(), data.in);
    }

    std::vector<Child> children;
    for (const auto& n : names) children.push_back(start(GetParam().path, {n}, dir_.string()));
    for (int i = 0; i < kRuns; i++) {
        Result r = finish(children[i]);
        EXPECT_EQ(r.status, 0) << names[i];
        EXPECT_EQ(r.out, converted_line(names[i]));
    }

    for (const auto& n : names) EXPECT_TRUE(read_file(dir_ / n) == data.out) << n;
    EXPECT_EQ(list_dir(dir_), names);
}

// A failed write (file size limit) must leave the input as it was.
TEST_P(FileHandling, WriteFailureExitsTwo) {
    const Pair data = repeat(GetParam().sample, 256 * 1024);
    const fs::path file = dir_ / "f.txt";
    write_file(file, data.in);

    Result r = run(GetParam().path, {file.string()}, dir_.string(),
                   {RLIMIT_FSIZE, 64 * 1024});

    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(read_file(file) == data.in);
    EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"f.txt"});
}

// With no descriptor left after the input's, the temporary file cannot be
// created; this works for root too.
TEST_P(FileHandling, NoDescriptorForTempFileExitsTwo) {
    const fs::path file = dir_ / "f.txt";
    write_file(file, GetParam().sample.in);

    Result r = run(GetParam().path, {file.string()}, dir_.string(), {RLIMIT_NOFILE, 4});

    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(file), GetParam().sample.in);
    EXPECT_EQ(list_dir(dir_), std::vector<std::string>{"f.txt"});
}

TEST_P(FileHandling, ReadOnlyDirectoryExitsTwo) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes to read-only directories";
    const fs::path sub = dir_ / "ro";
    fs::create_directory(sub);
    const fs::path file = sub / "f.txt";
    write_file(file, GetParam().sample.in);
    ASSERT_EQ(chmod(sub.c_str(), 0555), 0);

    Result r = run(GetParam().path, {file.string()}, dir_.string());

    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(file), GetParam().sample.in);
    EXPECT_EQ(list_dir(sub), std::vector<std::string>{"f.txt"});
}

// Through a symbolic link (relative, in another directory) the file it leads to
// is converted beside itself and the link stays a link; a dangling link fails.
TEST_P(FileHandling, LinkConvertsItsTarget) {
    fs::create_directories(dir_ / "data");
    fs::create_directories(dir_ / "links");
    const fs::path file = dir_ / "data" / "f.txt";
    const fs::path link = dir_ / "links" / "l.txt";
    write_file(file, GetParam().sample.in);
    fs::create_symlink("../data/f.txt", link);

    Result r = run(GetParam().path, {link.string()});

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, converted_line(link.string()));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), fs::path("../data/f.txt"));
    EXPECT_EQ(read_file(file), GetParam().sample.out);
    EXPECT_EQ(list_dir(dir_ / "data"), std::vector<std::string>{"f.txt"});
    EXPECT_EQ(list_dir(dir_ / "links"), std::vector<std::string>{"l.txt"});

    fs::create_symlink("nowhere.txt", dir_ / "links" / "dangling.txt");
    EXPECT_EQ(run(GetParam().path, {(dir_ / "links" / "dangling.txt").string()}).status, 1);
}

INSTANTIATE_TEST_SUITE_P(, FileHandling, ::testing::Values(kToCrlf, kToLf), prog_name);

// ---------------------------------------------------------------------------
// Permission bits survive the rewrite.

class KeepsMode : public LineEnd,
                  public ::testing::WithParamInterface<std::tuple<Prog, mode_t>> {};

TEST_P(KeepsMode, ModeUnchanged) {
    const Prog& prog = std::get<0>(GetParam());
    const mode_t mode = std::get<1>(GetParam());
    const fs::path file = dir_ / "f.txt";
    write_file(file, prog.sample.in);
    ASSERT_EQ(chmod(file.c_str(), mode), 0);

    Result r = run(prog.path, {file.string()});

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(file), prog.sample.out);
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode) << std::oct << (st.st_mode & 07777);
}

INSTANTIATE_TEST_SUITE_P(, KeepsMode,
                         ::testing::Combine(::testing::Values(kToCrlf, kToLf),
                                            ::testing::Values(0640, 0755, 0600, 0444)),
                         [](const auto& info) {
                             std::ostringstream s;
                             s << std::get<0>(info.param).name << "_" << std::oct
                               << std::get<1>(info.param);
                             return s.str();
                         });

}  // namespace
