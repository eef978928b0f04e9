// A library the loader tests copy into place and load by name.
extern "C" int kexio_probe_answer() {
  return 42;
}
