"""A Jupyter kernel for kexio's worksheet language.

A cell is worksheet statements, run by kexio.Worksheet with the language,
functions and messages of the kexio program. Matrices are shown as tables,
VIEW as a picture, PLOT as a plot and PLAY as an audio player; errors as the
kexio program shows them, in colour. The kernelspec (kernels/kexio) starts
it with `python3 -m kexio_kernel -f CONNECTION_FILE`.
"""
