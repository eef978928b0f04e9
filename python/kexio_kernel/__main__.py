"""Starts the kexio kernel: python3 -m kexio_kernel -f CONNECTION_FILE."""
import os


def main():
    # ipykernel loads its debugger, which warns about Python's frozen modules
    # on every start; this kernel has no Python code to debug.
    os.environ.setdefault("PYDEVD_DISABLE_FILE_VALIDATION", "1")
    from ipykernel.kernelapp import IPKernelApp

    from .kernel import KexioKernel

    IPKernelApp.launch_instance(kernel_class=KexioKernel)


if __name__ == "__main__":
    main()
