// SPDX-License-Identifier: MIT
//
// melda's software bill of materials, for scripts/release:
//
//   node sbom.mjs write DIR VERSION EPOCH LIBMODBUS_SRC
//       writes DIR/melda-VERSION.cdx.json (CycloneDX 1.6, JSON): melda, every
//       download in DIR/SHA256SUMS with its digest and what it links, the
//       libmodbus source they link with Debian's patches, and what is known
//       of the libmodbus vulnerabilities scanners report.
//   node sbom.mjs check DIR VERSION
//       validates it against the official CycloneDX 1.6 JSON schema (the
//       CycloneDX project's own library) and checks that every file in
//       SHA256SUMS is in it with the same digest.
//
// The same release gives the same bytes: the dates are the release's
// (CHANGELOG.md's latest entry), the serial number is derived from the
// content, and everything is listed in a fixed order.

import { createHash } from 'node:crypto';
import { execFileSync } from 'node:child_process';
import { readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { Spec as CycloneDX, Validation } from '@cyclonedx/cyclonedx-library';

const LIBMODBUS = '3.1.6-2.1+deb12u1';
const GCC_RUNTIME = 'GPL-3.0-or-later WITH GCC-exception-3.1';

function fail(message) {
    console.error(`sbom: ${message}`);
    process.exit(1);
}

// SHA256SUMS: [name, digest] in its order.
function sums(dir) {
    return readFileSync(join(dir, 'SHA256SUMS'), 'utf8').split('\n').filter(Boolean).map((line) => {
        const m = /^([0-9a-f]{64}) [ *](.+)$/.exec(line);
        if (!m) fail(`SHA256SUMS: not a digest line: ${line}`);
        return [m[2], m[1]];
    });
}

// The version and architecture of an installed Debian package, or null.
function installed(pkg) {
    try {
        const [version, arch] = execFileSync('dpkg-query', ['-W', '-f=${Version} ${Architecture}', pkg],
            { encoding: 'utf8' }).split(' ');
        return version ? { version, arch } : null;
    } catch {
        return null;
    }
}

function hash(digest) {
    return [{ alg: 'SHA-256', content: digest }];
}

// A Debian package the build took something from, linked into a download.
function debianPackage(ref, name, pkg, license, what) {
    const { version, arch } = installed(pkg) || fail(`${pkg} is not installed: the release was built with it`);
    return {
        'bom-ref': ref, type: 'library', name, version,
        description: `${what}, from Debian's package ${pkg} ${version}, linked statically`,
        licenses: [license.includes(' ') ? { expression: license } : { license: { id: license } }],
        purl: `pkg:deb/debian/${pkg}@${encodeURIComponent(version)}?arch=${arch}`,
    };
}

// Debian's patches to libmodbus, in the order they are applied.
function patches(src) {
    const dir = join(src, 'debian', 'patches');
    const fixes = {
        '0001-modbus_reply-fix-copy-paste-error-in-sanity-check-fi.patch': 'CVE-2022-0367',
        'CVE-2024-10918-part1.patch': 'CVE-2024-10918',
        'CVE-2024-10918-part2.patch': 'CVE-2024-10918',
        'CVE-2024-10918-part3.patch': 'CVE-2024-10918',
    };
    return readFileSync(join(dir, 'series'), 'utf8').split('\n')
        .map((l) => l.trim()).filter((l) => l && !l.startsWith('#')).map((name) => {
            const text = readFileSync(join(dir, name), 'utf8');
            const subject = (/^(?:Subject|Description): (.*)$/m.exec(text) || [])[1] || name;
            // Debian's own patches are signed by a Debian address; the rest
            // are upstream's commits, taken back to 3.1.6.
            const debian = /^From: .*@debian\.org>$/m.test(text);
            const patch = {
                type: debian ? 'unofficial' : 'backport',
                diff: { url: `debian/patches/${name}`, text: { content: subject } },
            };
            if (fixes[name]) {
                patch.resolves = [{
                    type: 'security', id: fixes[name],
                    source: { name: 'NVD', url: `https://nvd.nist.gov/vuln/detail/${fixes[name]}` },
                }];
            }
            return patch;
        });
}

// The runtime dependencies a .deb states, as components outside the release.
function depends(dir, file, arch) {
    const text = execFileSync('dpkg-deb', ['-f', join(dir, file), 'Depends'], { encoding: 'utf8' }).trim();
    return text.split(/,\s*/).map((clause) => {
        const name = clause.split(/[\s(]/)[0];
        return {
            'bom-ref': `deb:${arch}:${name}`, type: 'library', name, scope: 'required',
            description: `The system's own, as ${file} states it: Depends: ${clause}`,
            purl: `pkg:deb/debian/${name}?arch=${arch}`,
        };
    });
}

const STATIC = {
    x86_64: ['amd64', 'libc6-dev', 'libgcc-12-dev'],
    i686: ['i386', 'libc6-dev-i386-cross', 'libgcc-12-dev-i386-cross'],
    aarch64: ['arm64', 'libc6-dev-arm64-cross', 'libgcc-12-dev-arm64-cross'],
    armv7: ['armhf', 'libc6-dev-armhf-cross', 'libgcc-12-dev-armhf-cross'],
    armv5: ['armel', 'libc6-dev-armel-cross', 'libgcc-12-dev-armel-cross'],
    riscv64: ['riscv64', 'libc6-dev-riscv64-cross', 'libgcc-12-dev-riscv64-cross'],
};

const VULNERABILITIES = [
    {
        id: 'CVE-2022-0367',
        description: 'Heap-based buffer overflow in modbus_reply() (Write and Read Registers: the write address was not checked against the mapping).',
        analysis: {
            state: 'resolved_with_pedigree',
            detail: 'Fixed in this source by Debian\'s patch 0001-modbus_reply-fix-copy-paste-error-in-sanity-check-fi.patch (upstream commit b4ef4c17, libmodbus 3.1.7), listed in the pedigree. modbus_reply is the server side: melda never calls it (it is in the static binaries and melda.exe only as part of the library\'s object file); melda-sim, shipped only in the .deb files, calls it. The .deb files run with the system\'s libmodbus5, which on Debian 12 is built from this same source.',
        },
    },
    {
        id: 'CVE-2023-26793',
        description: 'Reported as a heap-based buffer overflow in read_io_status() in src/modbus.c, the function behind modbus_read_bits(), which melda calls.',
        analysis: {
            state: 'not_affected',
            justification: 'protected_by_mitigating_control',
            detail: 'Read in this source: read_io_status() writes at most nb bytes into the caller\'s buffer (the loop stops at pos < nb), and reads only the reply bytes that check_confirmation() has checked (the reply\'s length and byte count must match what the request asked for) inside its own 260-byte buffer; an overflow needs a caller whose buffer is smaller than the count it asks for. melda reads into a 16-byte buffer and refuses a count above 16 (or below 1) before it calls the library. Tested: melda\'s end-to-end tests, hostile replies included (bad byte count, one data byte short, a 2000-coil reply, no CRC, half a reply, extra bytes, random bytes, 1024-byte floods, wrong function, wrong slave, exceptions), run against Debian\'s libmodbus built from this source with AddressSanitizer and UndefinedBehaviorSanitizer, melda too (scripts/test-libmodbus --sanitize, in CI): no report.',
        },
    },
    {
        id: 'CVE-2024-10918',
        description: 'Heap-based buffer overflow in modbus_reply() through a request length that was not checked (write_bit, write_register, RTU request length).',
        analysis: {
            state: 'resolved_with_pedigree',
            detail: 'Fixed in this source by Debian\'s patches CVE-2024-10918-part1.patch to part3.patch (three upstream commits backported), listed in the pedigree. modbus_reply is the server side: melda never calls it; melda-sim, shipped only in the .deb files, calls it. The .deb files run with the system\'s libmodbus5, which on Debian 12 (3.1.6-2.1+deb12u1) carries the same patches.',
        },
    },
    {
        id: 'CVE-2024-36843',
        description: 'Reported as a use after free in modbus_mapping_free().',
        analysis: {
            state: 'not_affected',
            justification: 'protected_by_mitigating_control',
            detail: 'Read in this source: modbus_mapping_free() frees the mapping\'s four tables and the mapping itself, and returns at once for a null mapping; a use after free needs a caller that uses or frees the mapping again afterwards. melda never calls it. melda-sim (the .deb files only) frees its one mapping once, in the destructor of the object that owns it, which cannot be copied, as the program ends. Tested: melda-sim\'s tests under valgrind memcheck and under AddressSanitizer report no invalid read, write or free.',
        },
    },
];

function write(dir, version, epoch, src) {
    const timestamp = new Date(Number(epoch) * 1000).toISOString().replace('.000Z', 'Z');
    const files = sums(dir).filter(([name]) => name !== `melda-${version}.cdx.json`);
    const tarball = files.find(([name]) => name === `melda-${version}.tar.gz`);
    if (!tarball) fail(`SHA256SUMS has no melda-${version}.tar.gz`);
    const libmodbus = {
        'bom-ref': 'libmodbus', type: 'library', name: 'libmodbus', version: LIBMODBUS,
        description: `libmodbus ${LIBMODBUS.split('-')[0]} with Debian's patches: Debian 12's source package libmodbus ${LIBMODBUS}, linked statically into melda.exe and the static Linux binaries`,
        licenses: [{ license: { id: 'LGPL-2.1-or-later' } }],
        purl: `pkg:deb/debian/libmodbus@${encodeURIComponent(LIBMODBUS)}?arch=source&distro=debian-12`,
        externalReferences: files.filter(([name]) => name.startsWith('libmodbus_')).map(([name, digest]) => ({
            type: 'source-distribution', url: name, hashes: hash(digest),
        })),
        pedigree: {
            ancestors: [{
                type: 'library', name: 'libmodbus', version: LIBMODBUS.split('-')[0],
                purl: `pkg:github/stephane/libmodbus@v${LIBMODBUS.split('-')[0]}`,
            }],
            patches: patches(src),
        },
    };
    const shared = [libmodbus];
    const needed = {};
    const downloads = [];
    const dependencies = [];
    const add = (component, on) => {
        downloads.push(component);
        if (on.length) dependencies.push({ ref: component['bom-ref'], dependsOn: on });
    };
    for (const [name, digest] of files) {
        const ref = `file:${name}`;
        let m;
        if ((m = /^melda_.*_(\w+)\.deb$/.exec(name))) {
            const deps = depends(dir, name, m[1]);
            for (const d of deps) needed[d['bom-ref']] = d;
            add({
                'bom-ref': ref, type: 'application', name, version, hashes: hash(digest),
                description: `Debian package for ${m[1]}: melda and melda-sim, linked with the system's libmodbus5`,
                licenses: [{ license: { id: 'MIT' } }],
            }, deps.map((d) => d['bom-ref']));
        } else if ((m = /^melda-.*-linux-(\w+)$/.exec(name))) {
            const [arch, libc, libgcc] = STATIC[m[1]] || fail(`no static target ${m[1]}`);
            const glibc = debianPackage(`glibc:${arch}`, 'glibc', libc, 'LGPL-2.1-or-later',
                `The GNU C library for ${arch}`);
            const gcc = debianPackage(`libgcc:${arch}`, 'libgcc', libgcc, GCC_RUNTIME,
                `GCC's runtime library for ${arch}`);
            needed[glibc['bom-ref']] = glibc;
            needed[gcc['bom-ref']] = gcc;
            add({
                'bom-ref': ref, type: 'application', name, version, hashes: hash(digest),
                description: `melda for Linux on ${m[1]}, one file linked statically: libmodbus, the C library and the compiler's runtime`,
                licenses: [{ license: { id: 'MIT' } }],
            }, ['libmodbus', glibc['bom-ref'], gcc['bom-ref']]);
        } else if (/-win64\.zip$/.test(name)) {
            const mingw = debianPackage('mingw-w64-runtime', 'mingw-w64-runtime', 'mingw-w64-x86-64-dev',
                'ZPL-2.1', "mingw-w64's C runtime and Windows import libraries");
            const gcc = debianPackage('libgcc:win64', 'libgcc', 'gcc-mingw-w64-x86-64-win32', GCC_RUNTIME,
                "GCC's runtime library for 64-bit Windows");
            needed[mingw['bom-ref']] = mingw;
            needed[gcc['bom-ref']] = gcc;
            add({
                'bom-ref': ref, type: 'application', name, version, hashes: hash(digest),
                description: 'melda.exe for 64-bit Windows, self-contained (libmodbus, the C runtime and the compiler\'s runtime linked statically; the system\'s own DLLs only), with its README and licences',
                licenses: [{ license: { id: 'MIT' } }],
            }, ['libmodbus', mingw['bom-ref'], gcc['bom-ref']]);
        } else if (name.startsWith('libmodbus_')) {
            add({
                'bom-ref': ref, type: 'file', name, version: LIBMODBUS, hashes: hash(digest),
                description: 'Source of the libmodbus linked statically into melda.exe and the static Linux binaries (Debian\'s source package; dpkg-source -x on the .dsc applies the patches)',
                licenses: [{ license: { id: 'LGPL-2.1-or-later' } }],
            }, []);
        } else if (name === tarball[0]) {
            add({
                'bom-ref': ref, type: 'file', name, version, hashes: hash(digest),
                description: "melda's source", licenses: [{ license: { id: 'MIT' } }],
            }, []);
        } else {
            fail(`SHA256SUMS lists ${name}, which the SBOM has no entry for`);
        }
    }
    const sorted = Object.keys(needed).sort().map((k) => needed[k]);
    const bom = {
        bomFormat: 'CycloneDX',
        specVersion: '1.6',
        serialNumber: '',
        version: 1,
        metadata: {
            timestamp,
            tools: { components: [{ type: 'application', name: 'melda scripts/release', version }] },
            component: {
                'bom-ref': 'melda', type: 'application', name: 'melda', version,
                description: 'Reads up to 16 coils from Modbus RTU slave 1 on a serial line, showing every frame on the wire',
                licenses: [{ license: { id: 'MIT' } }],
                externalReferences: [{ type: 'source-distribution', url: tarball[0], hashes: hash(tarball[1]) }],
            },
        },
        components: [...downloads, ...shared, ...sorted],
        dependencies,
        vulnerabilities: VULNERABILITIES.map((v) => ({
            'bom-ref': `vulnerability:${v.id}`,
            id: v.id,
            source: { name: 'NVD', url: `https://nvd.nist.gov/vuln/detail/${v.id}` },
            description: v.description,
            analysis: v.analysis,
            affects: [{ ref: 'libmodbus' }],
        })),
    };
    // The serial number is a UUID made from the rest of the content (its
    // version nibble says 8: custom), so the same release has the same one.
    const digest = createHash('sha256').update(JSON.stringify(bom)).digest('hex');
    const uuid = `${digest.slice(0, 8)}-${digest.slice(8, 12)}-8${digest.slice(13, 16)}-` +
        `${((parseInt(digest[16], 16) & 0x3) | 0x8).toString(16)}${digest.slice(17, 20)}-${digest.slice(20, 32)}`;
    bom.serialNumber = `urn:uuid:${uuid}`;
    const out = join(dir, `melda-${version}.cdx.json`);
    writeFileSync(out, `${JSON.stringify(bom, null, 2)}\n`);
    console.log(out);
}

async function check(dir, version) {
    const path = join(dir, `melda-${version}.cdx.json`);
    const text = readFileSync(path, 'utf8');
    const errors = await new Validation.JsonStrictValidator(CycloneDX.Version.v1dot6).validate(text);
    if (errors !== null) fail(`${path} is not valid CycloneDX 1.6:\n${JSON.stringify(errors, null, 2)}`);
    const bom = JSON.parse(text);
    const byName = new Map(bom.components.filter((c) => c.hashes).map((c) => [c.name, c.hashes[0].content]));
    let missing = 0;
    for (const [name, digest] of sums(dir).filter(([name]) => name !== `melda-${version}.cdx.json`)) {
        if (byName.get(name) !== digest) {
            console.error(`sbom: ${name}: ${byName.has(name) ? 'another digest' : 'not'} in the SBOM`);
            missing++;
        }
    }
    if (missing) process.exit(1);
    console.log(`${path}: valid CycloneDX ${bom.specVersion}, every file in SHA256SUMS with its digest`);
}

const [command, ...args] = process.argv.slice(2);
if (command === 'write' && args.length === 4) write(...args);
else if (command === 'check' && args.length === 2) await check(...args);
else fail('usage: sbom.mjs write DIR VERSION EPOCH LIBMODBUS_SRC | check DIR VERSION');
