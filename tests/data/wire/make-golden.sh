#!/usr/bin/env bash
# Makes the fixed wire fixtures with the openssl tool alone, so they do not depend on
# Murnavell's own cipher or frame code. Run it again only to change the fixtures on purpose.
set -euo pipefail
cd "$(dirname "$0")"

# The packet key "Qm7#vT2k!Zp9$Lr4^Wx6&Nc8*Hb3@Jd5" in hex, and the zero IV.
key=516d37237654326b215a7039244c72345e577836264e63382a486233404a6435
iv=00000000000000000000000000000000

# An information request: count 9, id 4821937, eight fields and the NUL byte, joined by 0xA6
# (octal 246); then Base64 on one line and the end mark 0x1F 0x1F.
printf '9\2464821937\246TRI\246*\246pc-golden\246A100200300\246*\246A400500600\246*\246*\246\000' |
    openssl enc -aes-256-cbc -K "$key" -iv "$iv" -base64 -A | tr -d '\n' >tri-request.frame
printf '\037\037' >>tri-request.frame
