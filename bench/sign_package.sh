# Sourced by the benchmarks: signs a package as a user would, its digest, key
# id and signature made by the openssl command line.
#   sign_package KEY.pem PUBLIC.pem PACKAGE OUT
le32() {
    printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) \
        $((($1 >> 16) & 255)) $((($1 >> 24) & 255))
}

sign_package() {
    local key=$1 public=$2 package=$3 out=$4 signature size
    signature=$(mktemp)
    openssl dgst -sha256 -sign "$key" -out "$signature" "$package"
    size=$(stat -c %s "$signature")
    {
        cat "$package"
        printf 'FWTRAIL1'
        printf "$(le32 $((80 + size)))"
        openssl dgst -sha256 -binary "$package"
        openssl pkey -pubin -in "$public" -outform DER | openssl dgst -sha256 -binary
        printf "$(le32 "$size")"
        cat "$signature"
    } >"$out"
    rm -f "$signature"
}
