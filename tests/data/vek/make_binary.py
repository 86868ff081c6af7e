#!/usr/bin/env python3
"""Writes the binary and compressed files of this folder from the token lists below.

Binary files cannot be written by hand; this script is their hand-written source. Run it from
this folder after changing it: python3 make_binary.py
"""
import struct
import uuid
import zlib

NAME, STRING, INTEGER, GUID, INTS, FLOATS, BLOB = 1, 2, 3, 5, 6, 7, 8
LBRACE, RBRACE, LBRACKET, RBRACKET, DOT, COMMA, SEMI = 10, 11, 14, 15, 18, 19, 20
TEMPLATE, WORD, DWORD, FLOAT, UCHAR, STRINGTYPE, ARRAY = 31, 40, 41, 42, 45, 49, 52


class Writer:
    def __init__(self, double):
        self.double = double
        self.out = bytearray()

    def tok(self, *codes):
        for c in codes:
            self.out += struct.pack('<H', c)
        return self

    def name(self, s):
        b = s.encode('latin-1')
        self.out += struct.pack('<HI', NAME, len(b)) + b
        return self

    def string(self, s):
        b = s.encode('latin-1')
        self.out += struct.pack('<HI', STRING, len(b)) + b
        return self

    def guid(self, text):
        self.out += struct.pack('<H', GUID) + uuid.UUID(text).bytes_le
        return self

    def ints(self, *v):
        self.out += struct.pack('<HI', INTS, len(v)) + struct.pack('<%dI' % len(v), *v)
        return self

    def integer(self, v):
        self.out += struct.pack('<HI', INTEGER, v)
        return self

    def floats(self, *v):
        fmt = 'd' if self.double else 'f'
        self.out += struct.pack('<HI', FLOATS, len(v)) + struct.pack('<%d%s' % (len(v), fmt), *v)
        return self

    def blob(self, b):
        self.out += struct.pack('<HI', BLOB, len(b)) + b
        return self

    def begin(self, template, name=None, ident=None):
        self.name(template)
        if name is not None:
            self.name(name)
        if ident is not None:
            self.guid(ident)
        return self.tok(LBRACE)

    def end(self):
        return self.tok(RBRACE)

    def ref(self, name, ident=None):
        self.tok(LBRACE).name(name)
        if ident:
            self.guid(ident)
        return self.tok(RBRACE)


def header(form, double):
    return ('vkf 0303%s%s' % (form, '0064' if double else '0032')).encode()


def mesh_file(double):
    w = Writer(double)
    # A template of the file's own: a WORD count, a two-dimensional array, a nested template.
    (w.tok(TEMPLATE).name('Tagged').guid('5E1F0A3C-2B4D-4C6E-8F01-23456789ABCD').tok(LBRACE)
      .tok(WORD).name('n').tok(SEMI)
      .tok(ARRAY, UCHAR).name('cells').tok(LBRACKET).integer(2).tok(RBRACKET, LBRACKET).integer(2)
      .tok(RBRACKET, SEMI)
      .tok(ARRAY).name('Coords2d').name('uv').tok(LBRACKET).name('n').tok(RBRACKET, SEMI)
      .tok(STRINGTYPE).name('label').tok(SEMI)
      .tok(LBRACKET, DOT, DOT, DOT, RBRACKET, RBRACE))
    w.begin('Material', 'Blue').floats(0, 0, 1, 1, 4, 0.5, 0.5, 0.5, 0, 0, 0)
    w.begin('TextureFilename').string('C:\\a\\b.bmp').end()
    w.end()
    w.begin('Frame', 'Body', '0F0E0D0C-0B0A-0908-0706-050403020100')
    w.begin('FrameTransformMatrix').floats(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 10, 20, 30, 1).end()
    w.begin('Mesh', 'Tri').integer(3).tok(SEMI).floats(0, 0, 0, 1, 0, 0, 0, 1, 0).tok(SEMI)
    w.ints(1, 3, 0, 1, 2).tok(SEMI, SEMI)
    w.begin('MeshNormals').ints(1).floats(0, 0, 1).ints(1, 3, 0, 0, 0).end()
    w.begin('MeshMaterialList').ints(1, 1, 0).ref('Blue').end()
    w.begin('MeshTextureCoords').ints(3).floats(0, 0, 1, 0, 0, 1).end()
    w.end()
    w.begin('Tagged', 'T').ints(2, 1, 2, 3, 4).floats(0.25, 0.5, 0.75, 1.0).string('tag "x"').end()
    w.ref('Tri')
    w.end()
    return w.out


def anim_file(double):
    w = Writer(double)
    w.begin('AnimTicksPerSecond').ints(4800).end()
    w.begin('Frame', 'Bone').end()
    w.begin('AnimationSet', 'Run')
    w.begin('Animation').ref('Bone')
    w.begin('AnimationKey').ints(0, 2, 0, 4).floats(1, 0, 0, 0).ints(100, 4).floats(0, 1, 0, 0).end()
    w.begin('AnimationKey').ints(2, 1, 50, 3).floats(1.5, 2.5, -3.5).end()
    w.end()
    w.end()
    w.begin('PatchMesh9').ints(1, 3, 1, 3).floats(0, 0, 0, 1, 0, 0, 0, 1, 0).ints(1, 3, 0, 1, 2)
    w.begin('EffectInstance').string('fx\\water.fx')
    w.begin('EffectParamDWord').string('Passes').ints(7).end()
    w.begin('EffectParamFloats').string('Tint').ints(2).floats(0.5, 0.25).end()
    w.end()
    w.end()
    w.begin('InlineData', 'Raw').blob(b'\x00\x01\x02binary\xff').end()
    w.begin('ProgressiveMesh').begin('Url').ints(1).string('file:raw').end().ref('Raw').end()
    w.begin('Header').ints(1, 0, 1).end()
    return w.out


def write(path, form, double, body):
    with open(path, 'wb') as f:
        f.write(header(form, double) + bytes(body))


write('mesh_bin32.vkf', 'bin ', False, mesh_file(False))
write('mesh_bin64.vkf', 'bin ', True, mesh_file(True))
write('anim_bin64.vkf', 'bin ', True, anim_file(True))
write('anim_bzip32.vkf', 'bzip', False, zlib.compress(bytes(anim_file(False))))
with open('scene.vkf', 'rb') as f:
    text = f.read()
write('scene_tzip.vkf', 'tzip', False, zlib.compress(text[16:]))
