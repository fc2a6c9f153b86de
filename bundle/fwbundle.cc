// fwbundle: builds, lists, verifies, unpacks and signs the firmware packages
// that fwdeploy applies on the board.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "bundle/commands/create.h"
#include "bundle/commands/delta.h"
#include "bundle/commands/extract.h"
#include "bundle/commands/examine.h"
#include "bundle/commands/seal.h"
#include "bundle/envelope.h"
#include "bundle/messages.h"
#include "bundle/commands/sign.h"
#include "engine/package_format.h"

namespace {

constexpr int EXIT_USAGE = 2;

// --compatible, --version and --description: the signed attributes of a
// version 3 trailer. fwbundle's own --version is a flag of the whole tool, so
// the package's version is an option of each command only.
void add_attribute_options(CLI::App* command, attribute_options* attributes)
{
    command->add_option("--compatible", attributes->compatible,
                        "A board the package fits (repeat for several)");
    command->add_option("--version", attributes->version,
                        "The package's version: decimal numbers joined by dots")
        ->each([attributes](const std::string&) { attributes->has_version = true; });
    command->add_option("--description", attributes->description, "What the package does")
        ->each([attributes](const std::string&) { attributes->has_description = true; });
}

std::string version_text()
{
    return std::string("fwbundle ") + FWBUNDLE_VERSION + ", package format " +
           std::to_string(PACKAGE_VERSION_MAJOR) + "." + std::to_string(PACKAGE_VERSION_MINOR);
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Builds, lists, verifies, unpacks and signs fwdeploy firmware packages.", "fwbundle"};
    app.set_version_flag("--version", version_text());
    app.require_subcommand(1);

    std::string manifest_path, output, package, dir, keys;
    create_options create_with;
    bool no_trailer = false;
    CLI::App* create = app.add_subcommand("create", "Build a package from a manifest");
    create->add_option("-o,--output", output, "Package file to write")->required();
    create->add_flag("-z,--gzip", create_with.gzip, "Compress the package with gzip (for fwdeploy -x)");
    CLI::Option* sign_with = create->add_option("--sign", create_with.sign_key,
                                                "Sign the trailer with this EC P-256 private key (PEM)");
    create->add_flag("--no-trailer", no_trailer, "Write no trailer after the last block")
        ->excludes(sign_with);
    create->add_option("MANIFEST", manifest_path, "Manifest file (TOML)")->required();
    add_attribute_options(create, &create_with.attributes);
    std::vector<std::string> encrypt_to;
    std::string recipients_file;
    create->add_option("--encrypt-to", encrypt_to,
                       "Then encrypt it for this board's public key (PEM; repeat for several)");
    create->add_option("--recipients", recipients_file,
                       "Then encrypt it for the public keys this file lists, a path a line");

    std::string old_tree, new_tree;
    delta_options delta_with;
    CLI::App* delta = app.add_subcommand("delta", "Build the package that turns one tree into another");
    delta->add_option("OLD_TREE", old_tree, "Directory tree the board holds now")->required();
    delta->add_option("NEW_TREE", new_tree, "Directory tree the board is to hold")->required();
    delta->add_option("-o,--output", output, "Package file to write")->required();
    delta->add_flag("-z,--gzip", delta_with.gzip, "Compress the package with gzip (for fwdeploy -x)");
    delta->add_option("--sign", delta_with.sign_key,
                      "Sign the trailer with this EC P-256 private key (PEM)");
    delta->add_option("--prefix", delta_with.prefix, "Where the trees' root lies on the board")
        ->capture_default_str();
    delta->add_flag("--root-attributes", delta_with.root_attributes,
                    "Also give the top directory NEW_TREE's mode and owner");
    delta->add_option("--manifest-out", delta_with.manifest_out,
                      "Also write the manifest that packs the same package");
    add_attribute_options(delta, &delta_with.attributes);

    std::string open_key;
    CLI::App* list = app.add_subcommand("list", "Show a package's header, blocks and trailer");
    list->add_option("PACKAGE", package, "Package file, plain, gzip or encrypted")->required();
    list->add_option("--key", open_key,
                     "An encrypted package's recipient key (PEM): list the package inside too");

    std::string board_compatible, installed_version;
    CLI::App* verify = app.add_subcommand("verify", "Check every checksum as the board does");
    verify->add_option("--keys", keys, "Trusted public keys (PEM), as the board holds them");
    bool verify_gzip = false;
    verify->add_flag("-z,--gzip", verify_gzip,
                     "The package is for fwdeploy -x: refuse what its gunzip refuses");
    verify->add_option("--compatible", board_compatible,
                       "The board's compatibility string, which the package must name");
    verify->add_option("--installed-version", installed_version,
                       "The version the board runs: older packages are refused");
    bool refuse_same_version = false;
    verify->add_flag("--refuse-same-version", refuse_same_version,
                     "Judge as a board built with FWDEPLOY_REFUSE_SAME_VERSION: the installed "
                     "version is refused too");
    std::string slots_file;
    verify->add_option("--slots", slots_file,
                       "The board's slot table: every @NAME target must be one of its groups");
    verify->add_option("--key", open_key,
                       "Open an encrypted package with this board's private key (PEM), as the "
                       "board does, and verify the package inside");
    verify->add_option("PACKAGE", package, "Package file, plain, gzip or encrypted")->required();

    CLI::App* extract = app.add_subcommand("extract", "Unpack scripts, block data and a manifest");
    extract->add_option("PACKAGE", package, "Package file, plain or gzip")->required();
    extract->add_option("DIR", dir, "Directory to write into (made if missing)")->required();

    std::string key_file, signature_file, public_key_file, name;
    CLI::App* sign = app.add_subcommand("sign", "Sign a package, replacing any trailer it has");
    sign->add_option("-k,--key", key_file, "EC P-256 private key (PEM)")->required();
    sign->add_option("PACKAGE", package, "Package file, plain or gzip")->required();
    attribute_options sign_attributes;
    add_attribute_options(sign, &sign_attributes);

    CLI::App* payload = app.add_subcommand("payload",
                                           "Write the bytes a signature covers to standard output");
    payload->add_option("PACKAGE", package, "Package file, plain or gzip")->required();

    CLI::App* attach = app.add_subcommand("attach-signature",
                                          "Put a signature made elsewhere into a package's trailer");
    attach->add_option("PACKAGE", package, "Package file, plain or gzip")->required();
    attach->add_option("SIGNATURE", signature_file, "ECDSA signature of the payload, DER")->required();
    attach->add_option("--pubkey", public_key_file, "The signer's public key (PEM)")->required();

    CLI::App* keygen = app.add_subcommand("keygen", "Make a key pair: NAME.pem and NAME.pub.pem");
    keygen->add_option("NAME", name, "Path and name of the key files, without .pem")->required();
    bool for_encryption = false;
    keygen->add_flag("--encryption", for_encryption,
                     "A board's key for encrypted packages: its public half for encrypt --to, "
                     "its private half the board's decryption key");

    CLI::App* encrypt = app.add_subcommand("encrypt", "Encrypt a package for the boards that "
                                                      "may read it");
    encrypt->add_option("--to", encrypt_to, "A board's public key (PEM; repeat for several)");
    encrypt->add_option("--recipients", recipients_file,
                        "A file that lists the boards' public key files, a path a line");
    encrypt->add_option("-o,--output", output, "Encrypted package to write")->required();
    encrypt->add_option("PACKAGE", package, "Package file, plain or gzip")->required();

    CLI::App* decrypt = app.add_subcommand("decrypt", "Open an encrypted package as a board does");
    decrypt->add_option("--key", open_key, "The board's private key (PEM or DER, mode 0600)")
        ->required();
    decrypt->add_option("-o,--output", output, "The package file inside, to write")->required();
    decrypt->add_option("PACKAGE", package, "Encrypted package")->required();

    if (argc == 1) {
        fputs(app.help().c_str(), stderr);
        return EXIT_USAGE;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int status = app.exit(e);
        return status == 0 ? 0 : EXIT_USAGE;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (create->parsed()) {
        create_with.trailer = !no_trailer;
        int created = create_command(manifest_path, output, create_with);
        if (created != 0 || (encrypt_to.empty() && recipients_file.empty()))
            return created;
        return encrypt_command(output, encrypt_to, recipients_file, output);
    }
    if (encrypt->parsed())
        return encrypt_command(package, encrypt_to, recipients_file, output);
    if (decrypt->parsed())
        return decrypt_command(package, open_key, output);
    if (delta->parsed())
        return delta_command(old_tree, new_tree, output, delta_with);
    if (list->parsed())
        return file_is_sealed(package) ? list_sealed_command(package, open_key)
                                       : list_command(package);
    if (verify->parsed()) {
        if (!file_is_sealed(package))
            return verify_command(package, keys, verify_gzip, board_compatible, installed_version,
                                  refuse_same_version, slots_file);
        if (open_key.empty())
            return fail(package + ": encrypted: give the board's key with --key");
        return verify_sealed_command(package, open_key, keys, verify_gzip, board_compatible,
                                     installed_version, refuse_same_version, slots_file);
    }
    if (extract->parsed())
        return extract_command(package, dir);
    if (sign->parsed())
        return sign_command(package, key_file, sign_attributes);
    if (payload->parsed())
        return payload_command(package);
    if (attach->parsed())
        return attach_signature_command(package, signature_file, public_key_file);
    int made = keygen_command(name);
    if (made == 0 && for_encryption)
        printf("encryption: give %s.pub.pem to fwbundle encrypt --to; install %s.pem on the board "
               "as its decryption key (FWDEPLOY_DECRYPTION_KEY), root's, mode 0600\n",
               name.c_str(), name.c_str());
    return made;
}
