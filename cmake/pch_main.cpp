// The source of the targets that compile a flavour's precompiled header
// (cmake/BuildSpeed.cmake): nothing but the header itself.
int main() {
    return 0;
}
