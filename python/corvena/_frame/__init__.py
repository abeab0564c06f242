"""The parts of :func:`corvena.read_bufr`, one job each.

- :mod:`.sources`: the messages of paths, directories, globs, bytes and lists.
- :mod:`.messages`: messages decoded in bulk for the row builder.
- :mod:`.plans`: the keys of a request (plans) and the row builder.
- :mod:`.filters`: filter values turned into tests over columns.
- :mod:`.computed`: the computed keys, as a table of (name, parts, function).
- :mod:`.headers`: the keys of a message's header and local section.
- :mod:`.generic`, :mod:`.flat`: the readers.
"""
