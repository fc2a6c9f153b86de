// The key the trust fuzzer trusts, and keys of other kinds for its seeds.
#pragma once

constexpr char FUZZ_TRUSTED_KEY[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEYFco8AA5bQrEVIB+ag8G0F5/0lu1\n"
    "TpO/9GWrCFRkptLoFU0afFpC5ce0iiPiRIKTF6yJOT/UsuzcBrKkPSXKqg==\n"
    "-----END PUBLIC KEY-----\n";

constexpr char FUZZ_P384_KEY[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEaqIMm3h2UUyuARgAaRZyM3MXLivZrQt6\n"
    "UR0VxA8chfUVegS65f7+ke+Kl04eWEpey6m8YHySU0dfjHEF6265t/132eESz8EW\n"
    "ybyzhCuZVgiYgSdtCNaVC6lcyMmKhIQv\n"
    "-----END PUBLIC KEY-----\n";
