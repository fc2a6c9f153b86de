#include "bundle/messages.h"
#include "bundle/commands/sign.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "bundle/output.h"
#include "bundle/package_reader.h"
#include "bundle/trailers.h"
#include "common/scoped.h"

namespace fs = std::filesystem;

namespace {



std::string bytes_text(uint64_t n)
{
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

// The SHA-256 of the package bytes, and that of the message a signature covers.
struct digests {
    uint8_t package[SHA256_SIZE];
    uint8_t message[SHA256_SIZE];
};

// `results` and `attributes` are those the new trailer lists: the message then
// goes on with it as it reads unsigned.
int digests_of(sha256_stream* stream, const std::vector<trailer_entry>& results,
               const std::string& attributes, digests* d, std::string* error)
{
    if (sha256_result(stream, d->package, error) < 0)
        return -1;
    std::vector<uint8_t> suffix = signed_suffix(d->package, results, attributes);
    sha256_update(stream, suffix.data(), suffix.size());
    return sha256_result(stream, d->message, error);
}

// One pass over a package as the board reads it: every byte up to the end of
// the last block goes to `each`, what follows is judged as a trailer.
struct package_pass {
    uint32_t block_count = 0;
    package_tail tail;
    std::vector<trailer_entry> results;  // listed by the trailer there
    std::string attributes;              // the attribute lines of the trailer there
};

using byte_fn = std::function<int(const uint8_t* bytes, size_t length, std::string* error)>;

// 0, or -1 with *error set: the package is damaged (a checksum fails, it is cut
// short, its compression is broken) or carries a trailer this tool cannot replace.
int pass_package(package_reader* reader, const byte_fn& each, package_pass* pass,
                 std::string* error)
{
    reader->tap = each;
    walk_handler handler;
    handler.header = [&](const package_header& h) { pass->block_count = h.block_count; };
    if (walk_package(reader, handler, error) < 0)
        return -1;
    reader->tap = nullptr;
    if (read_tail(reader, pass->block_count, &pass->tail, error) < 0)
        return -1;
    // What the board checks patch results against stays in the new trailer.
    pass->results = trailer_results(pass->tail.trailer, pass->block_count);
    // So do the package's attributes: they say which boards it fits.
    pass->attributes = trailer_attributes(pass->tail.trailer, pass->block_count);
    return 0;
}

// A package being copied, up to the end of its last block, into a new file
// beside it with the same compression and permission bits; the new trailer
// follows and the copy takes the package's place.
struct rewrite {
    std::string name;                 // as the user gave it
    package_reader reader;
    pending_output out;
    sha256_stream stream;
    package_pass pass;
};

int copy_package(rewrite* w, const std::string& package, std::string* error)
{
    w->name = package;
    if (reader_open(&w->reader, package, error) < 0)
        return -1;
    // The file behind a symbolic link is the one to replace, not the link.
    std::error_code ec;
    fs::path real = fs::canonical(package, ec);
    std::string target = ec ? package : real.string();
    if (output_open(&w->out, target, reader_compressed(w->reader), error) < 0)
        return -1;
    struct stat st;
    if (::fstat(w->reader.fd, &st) < 0 || ::fchmod(w->out.fd, st.st_mode & 07777) < 0) {
        *error = w->out.temp_path + ": " + strerror(errno);
        return -1;
    }
    if (sha256_begin(&w->stream, error) < 0)
        return -1;
    bundle_sink sink = output_sink(&w->out);
    byte_fn copy = [w, sink](const uint8_t* bytes, size_t length, std::string* why) {
        sha256_update(&w->stream, bytes, length);
        if (sink.write(sink.context, bytes, length) < 0) {
            *why = w->out.final_path + ": write failed: " + w->out.error;
            return -1;
        }
        return 0;
    };
    return pass_package(&w->reader, copy, &w->pass, error);
}

// Appends the trailer and puts the copy in the package's place. 0, or -1.
int finish_rewrite(rewrite* w, const std::vector<uint8_t>& trailer, std::string* error)
{
    bundle_sink sink = output_sink(&w->out);
    if (sink.write(sink.context, trailer.data(), trailer.size()) < 0) {
        *error = w->out.final_path + ": write failed: " + w->out.error;
        return -1;
    }
    if (output_commit(&w->out, error) < 0)
        return -1;
    const package_tail& tail = w->pass.tail;
    if (!tail.problem.empty())
        warn(w->name + ": replaced a malformed trailer (" + tail.problem + ")");
    else if (tail.version == 0 && tail.length > 0)
        warn(w->name + ": left out " + bytes_text(tail.length) +
             " after the last block that were not a trailer");
    printf("%s: signed by key %s\n", w->name.c_str(),
           hex_text(trailer.data() + offsetof(trailer_head, key_id), SHA256_SIZE).c_str());
    return 0;
}

int write_out(int fd, const std::string& name, const uint8_t* bytes, size_t length,
              std::string* error)
{
    while (length > 0) {
        ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = name + ": " + strerror(errno);
            return -1;
        }
        bytes += n;
        length -= (size_t)n;
    }
    return 0;
}

// A DER signature file: an ECDSA P-256 signature is a SEQUENCE of at most 72 bytes,
// in the one encoding DER allows.
int read_signature(const std::string& path, std::vector<uint8_t>* signature, std::string* error)
{
    std::vector<char> bytes;
    if (read_small_file(path, TRAILER_MAX_SIGNATURE, &bytes, error) < 0)
        return -1;
    signature->assign(bytes.begin(), bytes.end());
    if (bytes.empty() || bytes.size() > TRAILER_MAX_SIGNATURE ||
        !strict_der_signature(*signature)) {
        *error = path + ": not an ECDSA P-256 signature in DER (a SEQUENCE of at most " +
                 std::to_string(TRAILER_MAX_SIGNATURE) + " bytes, as openssl dgst -sign writes it)";
        return -1;
    }
    return 0;
}

// Creates `path` for writing; it must not exist, not even as a dangling link.
// The file has its permission bits (less the creation mask) from the first
// moment, so a private key is never readable by others, not even briefly.
int create_new(const std::string& path, mode_t mode, unique_fd* fd, std::string* error)
{
    fd->fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd->fd < 0) {
        *error = path + (errno == EEXIST ? ": already exists; not overwritten"
                                         : std::string(": ") + strerror(errno));
        return -1;
    }
    return 0;
}

int sync_and_close(unique_fd* fd, const std::string& path, std::string* error)
{
    int synced = ::fsync(fd->fd);
    int closed = ::close(fd->release());
    if (synced < 0 || closed < 0) {
        *error = path + ": " + strerror(errno);
        return -1;
    }
    return 0;
}

// Files made so far, removed unless the whole job succeeded.
struct new_files {
    std::vector<std::string> paths;
    bool keep = false;
    new_files() = default;
    new_files(const new_files&) = delete;
    new_files& operator=(const new_files&) = delete;
    ~new_files()
    {
        if (!keep)
            for (const std::string& p : paths)
                ::unlink(p.c_str());
    }
};

// Before the signature is made, what it will cover besides the package bytes:
// the attributes the package keeps and those given anew, one line each.
void show_attributes(const std::string& package, const std::string& lines)
{
    if (lines.empty()) {
        printf("%s: no attributes to sign\n", package.c_str());
        return;
    }
    size_t at = 0;
    while (at < lines.size()) {
        size_t end = lines.find('\n', at);
        printf("%s: signing attribute %s\n", package.c_str(), lines.substr(at, end - at).c_str());
        at = end + 1;
    }
    fflush(stdout);
}

}  // namespace

int sign_command(const std::string& package, const std::string& key_file,
                 const attribute_options& attributes)
{
    std::string error;
    pkey_ptr key;
    uint8_t id[SHA256_SIZE];
    std::string checked;
    if (attribute_lines(attributes, "", &checked, &error) < 0)
        return fail(error);
    if (load_private_key(key_file, &key, &error) < 0 || key_id_of(key.get(), id, &error) < 0)
        return fail(error);
    rewrite w;
    digests d;
    std::vector<uint8_t> signature;
    std::string lines;
    if (copy_package(&w, package, &error) < 0 ||
        attribute_lines(attributes, w.pass.attributes, &lines, &error) < 0)
        return fail(error);
    show_attributes(package, lines);
    if (digests_of(&w.stream, w.pass.results, lines, &d, &error) < 0 ||
        sign_digest(key.get(), d.message, &signature, &error) < 0 ||
        finish_rewrite(&w, make_trailer(d.package, id, signature, w.pass.results, lines),
                       &error) < 0)
        return fail(error);
    return 0;
}

int payload_command(const std::string& package)
{
    if (::isatty(STDOUT_FILENO))
        return fail("payload: standard output is a terminal; send it to a file or a pipe");
    std::string error;
    // A signer is never handed part of a damaged package: it is read through
    // once before the first byte goes out. That pass also takes the digest the
    // unsigned trailer holds, for a trailer that lists results.
    uint8_t digest[SHA256_SIZE];
    std::vector<trailer_entry> results;
    std::string attributes;
    {
        package_reader reader;
        package_pass pass;
        sha256_stream stream;
        byte_fn hash = [&stream](const uint8_t* bytes, size_t length, std::string*) {
            sha256_update(&stream, bytes, length);
            return 0;
        };
        if (sha256_begin(&stream, &error) < 0 || reader_open(&reader, package, &error) < 0 ||
            pass_package(&reader, hash, &pass, &error) < 0 ||
            sha256_result(&stream, digest, &error) < 0)
            return fail(error);
        results = pass.results;
        attributes = pass.attributes;
    }
    package_reader reader;
    package_pass pass;
    byte_fn out = [](const uint8_t* bytes, size_t length, std::string* why) {
        return write_out(STDOUT_FILENO, "standard output", bytes, length, why);
    };
    if (reader_open(&reader, package, &error) < 0 || pass_package(&reader, out, &pass, &error) < 0)
        return fail(error);
    std::vector<uint8_t> suffix = signed_suffix(digest, results, attributes);
    if (write_out(STDOUT_FILENO, "standard output", suffix.data(), suffix.size(), &error) < 0)
        return fail(error);
    return 0;
}

int attach_signature_command(const std::string& package, const std::string& signature_file,
                             const std::string& public_key_file)
{
    std::string error;
    pkey_ptr key;
    uint8_t id[SHA256_SIZE];
    std::vector<uint8_t> signature;
    if (load_public_key(public_key_file, &key, &error) < 0 || key_id_of(key.get(), id, &error) < 0 ||
        read_signature(signature_file, &signature, &error) < 0)
        return fail(error);
    rewrite w;
    digests d;
    if (copy_package(&w, package, &error) < 0 ||
        digests_of(&w.stream, w.pass.results, w.pass.attributes, &d, &error) < 0)
        return fail(error);
    if (!signature_matches(key.get(), d.message, signature))
        return fail(signature_file + ": not a signature of the payload of " + package +
                    " by the key in " + public_key_file +
                    " (made over other bytes, or with another key); nothing changed");
    if (finish_rewrite(&w,
                       make_trailer(d.package, id, signature, w.pass.results, w.pass.attributes),
                       &error) < 0)
        return fail(error);
    return 0;
}

int keygen_command(const std::string& name)
{
    const std::string private_path = name + ".pem";
    const std::string public_path = name + ".pub.pem";
    std::string error;
    pkey_ptr key;
    uint8_t id[SHA256_SIZE];
    std::string public_text;
    if (generate_key(&key, &error) < 0 || key_id_of(key.get(), id, &error) < 0 ||
        public_key_pem(key.get(), &public_text, &error) < 0)
        return fail(error);
    struct stat st;
    for (const std::string& path : {private_path, public_path})
        if (::lstat(path.c_str(), &st) == 0)
            return fail(path + ": already exists; not overwritten");

    new_files made;
    unique_fd fd;
    if (create_new(private_path, 0600, &fd, &error) < 0)
        return fail(error);
    made.paths.push_back(private_path);
    // Exactly owner read and write, whatever the creation mask took away.
    if (::fchmod(fd.fd, 0600) < 0)
        return fail(private_path + ": " + strerror(errno));
    if (write_private_key(key.get(), fd.fd, &error) < 0)
        return fail(private_path + ": " + error);
    if (sync_and_close(&fd, private_path, &error) < 0)
        return fail(error);

    if (create_new(public_path, 0666, &fd, &error) < 0)
        return fail(error);
    made.paths.push_back(public_path);
    if (write_out(fd.fd, public_path, reinterpret_cast<const uint8_t*>(public_text.data()),
                  public_text.size(), &error) < 0)
        return fail(error);
    if (sync_and_close(&fd, public_path, &error) < 0)
        return fail(error);
    made.keep = true;

    std::string dir = fs::path(private_path).parent_path().string();
    unique_fd dir_fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_fd.fd >= 0)
        ::fsync(dir_fd.fd);
    printf("private key: %s\npublic key: %s\nkey id: %s\n", private_path.c_str(),
           public_path.c_str(), hex_text(id, SHA256_SIZE).c_str());
    return 0;
}
