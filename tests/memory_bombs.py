#!/usr/bin/python3
"""Peak memory of vrelk under --max-memory against files built to exceed it.

Each run's peak resident size comes from wait4 on the child. Pictures small
enough to read but whose writer would need more than the budget must fail
as out of memory; files whose data covers almost nothing of the picture
they state must fail as truncated; inputs larger than the budget must be
refused before they are read; and a mixed batch of such files at -j 8 must
still convert the one real photo among them.

usage: memory_bombs.py VRELK
       memory_bombs.py --make FOLDER   (the files alone)
"""
import os
import struct
import subprocess
import sys
import tempfile


GIB = 1 << 30
LIMIT = 1.2  # times the budget
FAILURES = []


def bmp_claiming(width, height, data):
    """A 24-bit BMP whose header states width x height over `data` alone."""
    header = b'BM' + struct.pack('<IHHI', 54 + len(data), 0, 0, 54)
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, 0, 2835, 2835, 0, 0)
    return header + info + data


def tiff_claiming(width, height, data):
    """An 8-bit grey TIFF, one strip of `data`, stating width x height."""
    entries = [(256, 4, 1, width), (257, 4, 1, height), (258, 3, 1, 8), (259, 3, 1, 1),
               (262, 3, 1, 1), (273, 4, 1, 0), (277, 3, 1, 1), (278, 4, 1, height), (279, 4, 1, len(data))]
    ifd_size = 2 + 12 * len(entries) + 4
    data_at = 8 + ifd_size
    out = b'II*\x00' + struct.pack('<I', 8) + struct.pack('<H', len(entries))
    for tag, kind, count, value in entries:
        value = data_at if tag == 273 else value
        packed = struct.pack('<HH', value, 0) if kind == 3 else struct.pack('<I', value)
        out += struct.pack('<HHI', tag, kind, count) + packed
    return out + struct.pack('<I', 0) + data


def make_files(folder):
    """Run in a process of its own: a child's peak counts its parent's
    memory at the fork, so the process that starts vrelk stays small."""
    import numpy as np
    from PIL import Image

    files = {}

    def path(name):
        files[name] = os.path.join(folder, name)
        return files[name]

    # 144 MB grey: read within 1 GB, widened to 24 bits for JPEG and WebP
    # with the encoder's memory on top, it is not.
    Image.new('L', (12000, 12000), 128).save(path('grey12k.png'))
    # 243 MB in 24 bits, every writer fits.
    Image.new('RGB', (9000, 9000), (10, 200, 30)).save(path('rgb9k.png'))
    with open(path('tiny.bmp'), 'wb') as out:
        out.write(bmp_claiming(25000, 25000, b'\xff' * 16))
    with open(path('tiny.tif'), 'wb') as out:
        out.write(tiff_claiming(25000, 25000, b'\x80' * 16))
    noise = np.random.default_rng(7).integers(0, 256, (3000, 4000, 3), dtype=np.uint8)
    Image.fromarray(noise).save(path('photo.jpg'), quality=85)
    for n in range(4):
        # Sparse: 700 MB that take no disk, and would take memory if read.
        with open(path('big%d.bmp' % n), 'wb') as out:
            out.write(bmp_claiming(16000, 15000, b''))
            out.truncate(700 << 20)
    return files


def files_in(folder):
    subprocess.run([sys.executable, __file__, '--make', folder], check=True)
    names = ['grey12k.png', 'rgb9k.png', 'tiny.bmp', 'tiny.tif', 'photo.jpg'] + ['big%d.bmp' % n for n in range(4)]
    return {name: os.path.join(folder, name) for name in names}


def run(vrelk, folder, args):
    """Runs vrelk; returns (exit status, peak resident bytes, stderr)."""
    out = tempfile.mkdtemp(dir=folder)
    env = dict(os.environ, XDG_CONFIG_HOME=folder)
    # The sanitizer build's quarantine would hold freed blocks as resident.
    env['ASAN_OPTIONS'] = env.get('ASAN_OPTIONS', '') + ':quarantine_size_mb=0:thread_local_quarantine_size_kb=0'
    with open(os.path.join(folder, 'stderr.txt'), 'w+b') as err:
        child = subprocess.Popen([vrelk, '-o', out] + args, stdout=subprocess.DEVNULL, stderr=err, env=env)
        _, status, usage = os.wait4(child.pid, 0)
        err.seek(0)
        text = err.read().decode('utf-8', 'replace')
    return os.waitstatus_to_exitcode(status), usage.ru_maxrss * 1024, out, text


def check(name, condition, detail):
    print(('ok   ' if condition else 'FAIL ') + name + ': ' + detail)
    if not condition:
        FAILURES.append(name)


def expect(vrelk, folder, files, name, args, inputs, budget, said=None, converts=()):
    status, peak, out, text = run(vrelk, folder, ['--max-memory=%d' % budget] + args + [files[i] for i in inputs])
    detail = 'peak %.0f MB, status %d' % (peak / 1e6, status)
    check(name + ' stays in budget', peak < LIMIT * budget, detail)
    if said:
        check(name + ' says ' + said, text.count(said) == len(inputs) - len(converts), text.strip()[:200])
    for source in converts:
        stem = os.path.splitext(source)[0]
        check(name + ' converts ' + source, any(f.startswith(stem) for f in os.listdir(out)), str(os.listdir(out)))


def main():
    vrelk = sys.argv[1]
    with tempfile.TemporaryDirectory() as folder:
        files = files_in(folder)
        for fmt in ('jpeg', 'webp'):
            expect(vrelk, folder, files, 'grey bomb -> ' + fmt, ['-f', fmt], ['grey12k.png'], GIB, said='out of memory')
        for fmt in ('png', 'gif', 'bmp'):
            expect(vrelk, folder, files, 'grey bomb -> ' + fmt, ['-f', fmt], ['grey12k.png'], GIB,
                   converts=['grey12k.png'])
        expect(vrelk, folder, files, 'rgb bomb -> jpeg', ['-f', 'jpeg'], ['rgb9k.png'], GIB, converts=['rgb9k.png'])
        expect(vrelk, folder, files, 'rgb bomb -> webp under a size target', ['-f', 'webp', '--max-kb', '50'],
               ['rgb9k.png'], 512 << 20, said='out of memory')
        for tiny in ('tiny.bmp', 'tiny.tif'):
            expect(vrelk, folder, files, tiny, ['-f', 'jpeg'], [tiny], GIB, said='truncated')
        expect(vrelk, folder, files, 'four 700 MB inputs at -j 4', ['-f', 'png', '-j', '4'],
               ['big%d.bmp' % n for n in range(4)], 100 << 20, said='out of memory')
        mixed = ['grey12k.png'] * 6 + ['rgb9k.png'] * 2 + ['tiny.bmp', 'tiny.tif'] * 3 + ['big0.bmp', 'big1.bmp']
        expect(vrelk, folder, files, '16 mixed bombs and a photo at -j 8', ['-f', 'jpeg', '-j', '8'],
               mixed[:8] + ['photo.jpg'] + mixed[8:], GIB, converts=['photo.jpg', 'rgb9k.png'])
    if FAILURES:
        print('%d failed' % len(FAILURES))
        return 1
    return 0


if __name__ == '__main__':
    if sys.argv[1] == '--make':
        make_files(sys.argv[2])
        sys.exit(0)
    sys.exit(main())
