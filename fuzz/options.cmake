# Longest input the fuzzers may make: above the request parser's largest
# input (a 1 MiB body after a 64 KiB header of 16 KiB lines), so inputs can
# reach and pass every limit. Shared by the smoke tests and fuzz/long-run.
set(QELTV_FUZZ_MAX_LEN_BYTES 1179648)
