"""The installer writer: the ready stub copied with a resource section added.

    stub.py        the ready stub read and checked (its headers and sections)
    layout.py      where every section of the installer lies, the image limit
    resources.py   the resource section: its directory and where each item lies
    output.py      the installer written in one streamed pass, with its checksum

Nothing here compiles or links: the stub is built once per architecture, and
every installer carries its code and read-only data byte for byte.
"""
