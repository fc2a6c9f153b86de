#include "bundle/commands/seal.h"

#include <cstdio>
#include <filesystem>
#include <stdlib.h>

#include "bundle/commands/examine.h"
#include "bundle/envelope.h"
#include "bundle/messages.h"

namespace fs = std::filesystem;

namespace {

// A folder of our own for the package opened from an envelope, removed with
// everything in it.
struct scratch_dir {
    std::string path;
    scratch_dir()
    {
        std::string pattern = (fs::temp_directory_path() / "fwbundle-open-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr)
            path = pattern;
    }
    ~scratch_dir()
    {
        std::error_code ignored;
        if (!path.empty())
            fs::remove_all(path, ignored);
    }
};

// Opens `envelope` with `key` into the scratch folder: the package file's
// path, or empty after the refusal was printed.
std::string open_into(const scratch_dir& dir, const std::string& envelope, const std::string& key)
{
    if (dir.path.empty()) {
        fail("no temporary folder for the package inside " + envelope);
        return "";
    }
    std::string inside = dir.path + "/package";
    std::string error;
    if (open_package(envelope, key, inside, &error) < 0) {
        fail(error);
        return "";
    }
    return inside;
}

}  // namespace

int encrypt_command(const std::string& package, const std::vector<std::string>& to,
                    const std::string& recipients_file, const std::string& out)
{
    std::vector<pkey_ptr> recipients;
    std::string error;
    if (file_is_sealed(package))
        return fail(package + ": already encrypted");
    if (load_recipients(to, recipients_file, &recipients, &error) < 0 ||
        seal_package(package, recipients, out, &error) < 0)
        return fail(error);
    printf("%s: encrypted for %zu recipient%s\n", out.c_str(), recipients.size(),
           recipients.size() == 1 ? "" : "s");
    return 0;
}

int decrypt_command(const std::string& envelope, const std::string& key, const std::string& out)
{
    std::string error;
    if (open_package(envelope, key, out, &error) < 0)
        return fail(error);
    printf("%s: decrypted into %s\n", envelope.c_str(), out.c_str());
    return 0;
}

int list_sealed_command(const std::string& envelope, const std::string& key)
{
    std::string text;
    std::string error;
    if (describe_envelope(envelope, &text, &error) < 0)
        return fail(error);
    fputs(text.c_str(), stdout);
    if (key.empty())
        return 0;
    scratch_dir dir;
    std::string inside = open_into(dir, envelope, key);
    if (inside.empty())
        return 1;
    return list_command(inside, envelope + " (inside)");
}

int verify_sealed_command(const std::string& envelope, const std::string& key,
                          const std::string& keys, bool gzip, const std::string& compatible,
                          const std::string& installed_version, bool refuse_same_version,
                          const std::string& slots_file)
{
    scratch_dir dir;
    std::string inside = open_into(dir, envelope, key);
    if (inside.empty())
        return 1;
    return verify_command(inside, keys, gzip, compatible, installed_version, refuse_same_version,
                          slots_file, envelope);
}
