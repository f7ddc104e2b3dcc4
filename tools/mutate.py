#!/usr/bin/env python3
"""Mutation run: proves that the test suite notices when a behaviour goes.

Each mutant below is one small change to the program: a text found in the
files under src/ (in the one whose path contains `file`, when given) and the
text put in its place. The tree is copied to a scratch directory and built
once; then each mutant in turn is applied, the tree rebuilt and the suite run
with ctest, and the change undone. A mutant is killed when a test fails (or
the build refuses it), and survives when the whole suite passes.

Mutants marked equivalent change nothing a user can observe (the reason is
given) and are not run unless --check-equivalents asks. The run fails when a
mutant that is not marked equivalent survives, or when a mutant's text is no
longer found exactly once (the list is then out of date).

    tools/mutate.py                      every mutant (about half an hour on 2 cores)
    tools/mutate.py --subset ci          the error-path mutants, as CI runs them
    tools/mutate.py --only close,same    mutants whose name contains one of these
    tools/mutate.py --list               names and what each one breaks
"""

import argparse
import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time

# name, what it breaks, and where: file (a part of the path, optional), find,
# replace, nth (which occurrence in that file, from 1; default: the only one).
# "ci": in the subset that CI runs (the error paths, the same-file check and
# the fast paths that once had no test; the whole list takes over half an hour). "equivalent": why no test can see it.
# "needs": a CPU feature the mutated code runs only with.
MUTANTS = [
    # --- the conversion pass: reading ---------------------------------------
    dict(name="ctrl-z-does-not-end", ci=True, within="end_at_ctrl_z",
         breaks="decoding resumes after a Ctrl-Z once more reads follow it",
         find="        p.at_end = true;\n", replace=""),
    dict(name="ctrl-z-ignored", within="end_at_ctrl_z", breaks="a Ctrl-Z is decoded like any byte",
         find="std::memchr(p.data, ctrl_z, p.got)", replace="std::memchr(p.data, ctrl_z, 0)"),
    dict(name="ctrl-z-note-dropped", within="close_files", breaks="a Ctrl-Z that ends a file early says nothing",
         find="    if (status == 0) note_ctrl_z(o, in);\n", replace=""),
    dict(name="ctrl-z-pipe-not-asked", within="note_ctrl_z",
         breaks="a Ctrl-Z last in a pipe's read says nothing though the writer wrote more after it",
         find="if (io::read_some(in.handle, &next, 1, got) != 0 || got == 0) return;", replace="return;"),
    dict(name="ctrl-z-count-off-by-one", within="note_ctrl_z",
         breaks="the Ctrl-Z itself is counted among the bytes after it: a Ctrl-Z last in a file is noted",
         find="in.origin + o.ctrl_z_at + 1", replace="in.origin + o.ctrl_z_at"),
    dict(name="ctrl-z-piece-start-lost", within="run_worker",
         breaks="a Ctrl-Z in a later piece of the parallel pass is noted at its offset within the piece",
         find="            p.start = k * read_size;\n", replace=""),
    dict(name="ctrl-z-reads-not-counted", within="read_piece",
         breaks="a Ctrl-Z after the first read of the one-thread pass is noted at its offset within the read",
         find="    p.start += p.read;\n", replace=""),
    dict(name="read-error-is-end", ci=True, within="read_piece", breaks="a failing read is taken for the end of the input",
         find="        p.got = 0;\n        return;", replace="        p.error = 0;\n        p.got = 0;\n        p.at_end = true;\n        return;"),
    dict(name="read-at-error-is-end", ci=True, within="read_piece_at",
         breaks="a positional read that fails is taken for the end of its piece, and the pieces after it are written",
         find="0, false, error};", replace="0, false, 0};"),
    dict(name="lead-not-settled", within="read_piece_at",
         breaks="a piece is decoded as if nothing came before it, then again by the writer",
         find="decode_state_after({b.in, lead_size})", replace="decode_state{}",
         equivalent="the writer finds that the piece before left another state and decodes the piece again: the same bytes, later"),
    dict(name="lead-not-checked", within="write_in_turn",
         breaks="a file written while it is read loses or doubles the bytes at a piece's edge",
         find="if (d.before != state) {", replace="if (false) {"),
    dict(name="head-not-decoded-again", within="decode_again",
         breaks="a piece whose lead changed keeps the text its first bytes gave from the state the lead claimed",
         find="std::memcpy(d.text, now, now_n);\n    state = d.after;", replace="std::memcpy(d.text, was, was_n);\n    state = d.after;"),
    dict(name="short-piece-not-finished", within="decode_again",
         breaks="a file cut short at a piece's edge drops the previous piece's unfinished escape",
         find="return d.p.at_end ? now_n + decode_form_finish(state, d.text + now_n) : now_n;", replace="return now_n;"),
    dict(name="read-error-mid-pass-status", ci=True, within="report_outcome", breaks="a read error after the first read exits 0",
         find="        report_read_error(input_path, o.error);\n        return 1;",
         replace="        report_read_error(input_path, o.error);\n        return 0;"),
    dict(name="first-read-error-ignored", within="convert_form_file",
         breaks="an input that cannot be read still empties the output",
         find="if (const int e = probe(calls, in, in_id, first)) {",
         replace="if (const int e = (static_cast<void>(probe(calls, in, in_id, first)), 0)) {"),
    dict(name="first-read-after-output", ci=True, within="probe",
         breaks="the output is emptied before the input has proven readable",
         find="    read_piece(calls, in, first);\n", replace=""),
    dict(name="directory-check-dropped", within="probe",
         breaks="a directory as input is reported only by its failing read",
         find="    if (first.error == 0 && id.kind == io::file_kind::directory)\n        return EISDIR;  // a directory never has form data\n", replace="",
         equivalent="on POSIX systems reading a directory fails with EISDIR anyway; the check is for Windows"),
    dict(name="input-identify-error-ignored", within="probe",
         breaks="an input that cannot be identified escapes the same-file check",
         find="    if (const int e = io::identify(in, id)) return e;",
         replace="    static_cast<void>(io::identify(in, id));",
         equivalent="fstat on a descriptor just opened does not fail on any system this runs on"),
    dict(name="finish-not-called", within="decode_piece", breaks="an unfinished escape at the end of the input is lost",
         find="if (p.at_end) n += decode_form_finish(state, text + n);", replace=""),
    dict(name="no-memory-status-0", ci=True, within="report_no_memory", breaks="memory too short to decode at all exits 0",
         find="    return 1;", replace="    return 0;"),
    dict(name="worker-rooms-unchecked", within="make_buffers",
         breaks="memory short for the workers' buffers crashes the program instead of leaving one thread",
         find="        if (!make_piece_buffer(buffers[i], true, i < n)) {",
         replace="        if (static_cast<void>(make_piece_buffer(buffers[i], true, i < n)), false) {"),
    dict(name="pages-not-touched", within="make_piece_buffer", breaks="a memory limit kills the program after the output was emptied",
         find="(input && !io::take_pages(b.in_store.get(), in_bytes)) ||\n        (take && !io::take_pages(b.out_store.get(), out_bytes))",
         replace="false"),
    dict(name="input-open-status", within="convert_form_file", breaks="a missing input exits 0",
         find="        report_cannot_open_input(input_path);\n        return 1;",
         replace="        report_cannot_open_input(input_path);\n        return 0;"),
    dict(name="japanese-message-full-stop", breaks="the Japanese message loses its full stop",
         find="\\xB9\\x82\\xF1\\x2E\"", replace="\\xB9\\x82\\xF1\""),
    dict(name="output-open-error-ignored", within="open_destination", breaks="an output that cannot be opened is not reported as such",
         find="if (io::open_output(output_path, out.handle) != 0) {",
         replace="if (io::open_output(output_path, out.handle) != 0 && false) {"),
    dict(name="same-file-file-mode", within="refuse_same_file", breaks="the input named as the output is emptied",
         find="    if (!same_file(in_id, out_id)) return 0;", replace="    if (out.path != nullptr || !same_file(in_id, out_id)) return 0;"),
    dict(name="same-file-console", within="refuse_same_file", breaks="quenlo in >> in appends the input to itself",
         find="    if (!same_file(in_id, out_id)) return 0;", replace="    if (out.path == nullptr || !same_file(in_id, out_id)) return 0;"),
    dict(name="same-file-any-kind", ci=True, within="same_file", breaks="character devices such as /dev/null count as the same file",
         find="const bool shared_store = ", replace="const bool shared_store = true || "),
    dict(name="same-file-no-fifo", ci=True, within="same_file", breaks="the same FIFO as input and output reads its own output back",
         find=" || a.kind == io::file_kind::fifo;", replace=";"),
    dict(name="same-file-no-block-device", ci=True, within="add_device_chain", breaks="a disk is decoded onto itself",
         find="    store at = device_store(device);", replace="    store at{};"),
    dict(name="same-file-no-volume", ci=True, within="same_file", breaks="one inode number on two file systems counts as one file",
         find="a.volume == b.volume && ", replace=""),
    dict(name="same-file-no-index", within="same_file", breaks="any two files on one file system count as one file",
         find=" && a.index == b.index", replace=""),
    dict(name="truncate-error-ignored", ci=True, within="open_destination", breaks="a failed truncate goes unreported",
         find="        if (const int e = io::truncate_output(out.handle)) {",
         replace="        if (const int e = (static_cast<void>(io::truncate_output(out.handle)), 0)) {"),
    dict(name="write-error-ignored", within="write_piece", breaks="a full disk or a closed standard output exits 0",
         find="if (const int e = calls.write_all(out, text, n)) {",
         replace="if (const int e = (static_cast<void>(calls.write_all(out, text, n)), 0)) {"),
    dict(name="workers-not-stopped", ci=True, within="write_in_turn",
         breaks="the input's end or a write failure leaves the other workers waiting for their turn: the program hangs",
         find="            r.over = true;\n            r.result = o;", replace="            r.result = o;"),
    dict(name="worker-detached", ci=True, within="finish_workers",
         breaks="workers detached instead of joined: the input is closed, and buffers freed, while they still read",
         find="crew.threads[w].join();", replace="crew.threads[w].detach();"),
    dict(name="workers-left-at-the-gate", ci=True, within="start_workers",
         breaks="when one of several worker threads cannot start, those that did are never joined: the program aborts",
         find="    finish_workers(plan, crew, buffers, piece{}, false, none);\n", replace=""),
    dict(name="thread-fallback-wrong-exception", ci=True, within="start_workers",
         breaks="a thread that cannot start aborts the program instead of leaving the one-thread pass",
         find="    } catch (const std::exception&) {", replace="    } catch (const std::bad_alloc&) {"),
    dict(name="pieces-out-of-turn", within="write_in_turn", breaks="each worker writes its piece as soon as it is decoded, out of order",
         find="    if (r.written != k) {", replace="    if (false) {"),
    dict(name="room-reused-early", within="run_worker",
         breaks="a worker decodes into the text buffer it used last though that text has not gone out yet",
         find="if (held[b] != no_piece && r.written <= held[b]) {", replace="if (false) {"),
    dict(name="other-room-not-awaited", within="run_worker",
         breaks="a worker whose last text has not gone out decodes into its other buffer without waiting for that one's",
         find="!wait_until_written(r, held[b])", replace="r.over"),
    dict(name="parked-piece-left", within="write_in_turn", breaks="a piece done before its turn is never written: the program hangs",
         find="if (next == nullptr) return !r.over;", replace="if (true) return !r.over;"),
    dict(name="parked-piece-any", within="parked_as", breaks="after a piece goes out, any parked piece is written next, not the one after it",
         find="r.parked[b].parked && r.parked[b].k == k", replace="r.parked[b].parked"),
    dict(name="workers-uncapped", within="worker_count", breaks="more workers than there are buffers for, where more than 8 processors are usable",
         find="std::min(processors, max_workers)", replace="processors"),
    dict(name="parallel-never", within="convert_form_file", breaks="regular files are decoded by one thread only",
         find="    if (plan.workers > 1 && !start_workers(plan, crew, buffers)) plan.workers = 1;",
         replace="    if (plan.workers > 1) plan.workers = 1;"),
    dict(name="parallel-always", within="worker_count", breaks="pipes and short files get workers too",
         find="    if (id.kind != io::file_kind::regular || first.got != read_size || first.at_end) return 1;",
         replace="    if (false) return 1;",
         equivalent="a pipe cannot be read by position, so it keeps the one-thread pass; a short file only spends threads"),
    dict(name="output-close-error-ignored", ci=True, within="close_files", breaks="an error shown only by closing the output goes unreported",
         find="if (closed_out != 0 && status == 0) {", replace="if (false) {"),
    dict(name="input-close-status-0", ci=True, within="close_files", breaks="a failed close of the input exits 0",
         find="io::close_file(in.handle) == 0 ? 0 : -1", replace="io::close_file(in.handle) == 0 ? 0 : 0"),
    dict(name="input-close-status-1", ci=True, within="close_files", breaks="a failed close of the input exits 1, not -1",
         find="io::close_file(in.handle) == 0 ? 0 : -1", replace="io::close_file(in.handle) == 0 ? 0 : 1"),
    # --- the command line ------------------------------------------------------
    dict(name="usage-status", within="main", breaks="a wrong argument count exits 0",
         find="    std::fputs(\"\\nusage: quenlo input [output]\\n\", stderr);\n    return 1;",
         replace="    std::fputs(\"\\nusage: quenlo input [output]\\n\", stderr);\n    return 0;"),
    dict(name="three-arguments-accepted", within="main", breaks="a third argument is ignored instead of refused",
         find="if (args.count == 3)", replace="if (args.count >= 3)"),
    dict(name="banner-on-stdout", within="main", breaks="the banner mixes with the decoded text",
         find="               stderr);\n    if (args.count == 2 && ", replace="               stdout);\n    if (args.count == 2 && "),
    dict(name="no-guard", within="main", breaks="a file opened later takes the slot of a closed standard handle",
         find="quenlo::io::guard_standard_handles();", replace=""),
    dict(name="help-over-a-file", within="asks_the_program", breaks="a file named --help is not decoded",
         find=" &&\n           !quenlo::io::name_exists(word)", replace=""),
    dict(name="version-is-help", within="main", breaks="--version prints the usage",
         find="std::strcmp(args.values[1], \"--help\") == 0 ? help : version", replace="help"),
    # --- the POSIX file layer --------------------------------------------------
    dict(name="terminal-never-utf8", within="standard_error_terminal", file="fileio_posix",
         breaks="a UTF-8 terminal shows the \"cannot open\" message as Shift_JIS",
         find="return utf8 ? error_terminal::utf8 : error_terminal::other;", replace="return error_terminal::other;"),
    dict(name="terminal-not-noticed", within="standard_error_terminal", file="fileio_posix",
         breaks="the \"cannot open\" message on a terminal has no line end, the prompt glued to it",
         find="if (isatty(STDERR_FILENO) == 0) return", replace="if (true) return"),
    dict(name="output-not-created", breaks="a missing output file is not created",
         file="fileio_posix", find="O_WRONLY | O_CREAT, handle", replace="O_WRONLY, handle"),
    dict(name="output-mode-0600", ci=True, breaks="a new output ignores the umask's permissions",
         file="fileio_posix", find="flags | O_CLOEXEC, 0666)", replace="flags | O_CLOEXEC, 0600)"),
    dict(name="truncate-never", breaks="an existing output keeps its old tail",
         file="fileio_posix", find="if (!S_ISREG(st.st_mode)) return 0;", replace="return 0;"),
    dict(name="truncate-devices", breaks="a device as the output fails to truncate",
         file="fileio_posix", find="if (!S_ISREG(st.st_mode)) return 0;", replace=""),
    dict(name="stand-in-accepted", within="open_path", ci=True, breaks="quenlo /dev/stdin <&- reads as empty and exits 0",
         file="fileio_posix", find="    if (!is_stand_in(handle)) return 0;", replace="    return 0;"),
    dict(name="stand-in-unmarked", breaks="/dev/stdin on a real standard input is refused",
         file="fileio_posix", find="(flags & FD_CLOEXEC) != 0 && ", replace=""),
    dict(name="stand-in-is-null", within="make_stand_in", ci=True, breaks="/dev/null is refused while a standard handle is closed",
         file="fileio_posix", find="    if (pipe(ends) != 0) {", replace="    if (true) {"),
    dict(name="stand-in-write-end-open", within="make_stand_in", breaks="quenlo in <&- >&- writes into a pipe no one reads: exits 0, or hangs past 64 KiB",
         file="fileio_posix", find="    close(ends[1]);\n", replace=""),
    dict(name="loop-chain-not-followed", within="add_device_chain", breaks="a loop device over a loop device over the input is written to",
         file="fileio_posix", find="        if (next.volume != 0) return;  // a regular file: the chain ends", replace="        return;"),
    dict(name="loop-asked-by-path", within="device_backing", breaks="a loop device whose backing file was deleted or renamed is written to",
         file="fileio_posix", find="    if (fd >= 0 && loop_backing(fd, next)) return true;\n    const int own = open_device(device);",
         replace="    const int own = -1;"),
    dict(name="holding-disk-ignored", within="find_stores", breaks="the disk holding the input's file system is written to",
         file="fileio_posix", find="            add_device_chain(on, -1, id.holders);", replace="            static_cast<void>(on);"),
    dict(name="stand-in-not-marked", within="make_stand_in", breaks="quenlo /dev/stdin <&- reads the stand-in as empty and exits 0",
         file="fileio_posix", find="    fcntl(ends[0], F_SETFD, FD_CLOEXEC);\n", replace=""),
    dict(name="loop-backing-unknown", within="identify", ci=True, breaks="a loop device is decoded onto the file behind it",
         file="fileio_posix", find="        find_stores(st, handle, id);\n        return 0;", replace="        return 0;"),
    dict(name="worker-placement-none", breaks="workers share one processor until the scheduler spreads them",
         file="fileio_posix", find="    if (sched_setaffinity(0, sizeof one, &one) == 0) sched_setaffinity(0, sizeof allowed, &allowed);",
         replace="    static_cast<void>(one);"),
    dict(name="worker-placement-pinned", breaks="a worker stays pinned to one processor for the whole pass",
         file="fileio_posix", find="    if (sched_setaffinity(0, sizeof one, &one) == 0) sched_setaffinity(0, sizeof allowed, &allowed);",
         replace="    sched_setaffinity(0, sizeof one, &one);"),
    dict(name="guard-always-runs", breaks="nothing: the early return only saves system calls",
         file="fileio_posix", find="    if (!is_closed(0) && !is_closed(1) && !is_closed(2)) return;\n", replace="",
         equivalent="with every standard handle open the loop below does nothing"),
    dict(name="block-device-by-inode", breaks="two device nodes of one disk count as two files",
         file="fileio_posix", find="id.index = static_cast<std::uint64_t>(st.st_rdev);",
         replace="id.index = static_cast<std::uint64_t>(st.st_ino);",
         equivalent="a block device is compared by its number in same_bytes, which add_device_chain records; id.index only names it"),
    dict(name="fifo-kind-lost", breaks="a FIFO is not told apart from a character device",
         file="fileio_posix", find="S_ISFIFO(st.st_mode) ? file_kind::fifo", replace="S_ISFIFO(st.st_mode) ? file_kind::other"),
    dict(name="close-error-lost", breaks="every close reports success",
         file="fileio_posix", find="return close(handle) == 0 ? 0 : errno;", replace="return (close(handle), 0);"),
    dict(name="read-clamp-dropped", breaks="a read larger than SSIZE_MAX",
         file="fileio_posix", find="read(handle, p, n > SSIZE_MAX ? SSIZE_MAX : n)", replace="read(handle, p, n)",
         equivalent="reads are 256 KiB, far below SSIZE_MAX"),
    dict(name="write-interrupt-fails", breaks="an interrupted write is reported as an error",
         file="fileio.h", find="if (error == interrupted) continue;", replace="if (error == interrupted) return error;"),
    dict(name="write-no-progress-loops", breaks="a write that makes no progress loops for ever",
         file="fileio.h", find="if (n == 0) return -1;", replace="if (n == 0) continue;"),
    dict(name="read-interrupt-fails", breaks="an interrupted read is reported as an error",
         file="fileio.h", find="if (error != interrupted) return error;", replace="return error;"),
    # --- the C interface --------------------------------------------------------
    dict(name="c-state-loses-cr", within="state_to", breaks="a CR LF cut between two C calls gives two line breaks",
         find="c.internal[after_cr_at] = state.after_cr ? 1 : 0;", replace=""),
    dict(name="c-bad-state-accepted", within="state_from", breaks="a C state never zeroed reaches the decoder",
         find="if (len > 2 || ", replace="if ("),
    dict(name="c-null-output-unchecked", within="quenlo_decode", breaks="a NULL output buffer is written to",
         find="(in == nullptr || out == nullptr)", replace="in == nullptr"),
    dict(name="c-bound-wraps", within="quenlo_decode_bound", breaks="the bound of a huge input wraps to a small number",
         find="input_size > largest ? SIZE_MAX : ", replace="(void)largest, "),
    # --- the decoder -----------------------------------------------------------
    dict(name="hex-lower-case-lost", breaks="%e3 is no longer an escape",
         find="t['a' + c] = static_cast<std::int8_t>(10 + c);", replace=""),
    dict(name="hex-pair-weight", breaks="escapes decode to the wrong byte",
         find="hex[hi] * 16 + hex[lo]", replace="hex[hi] * 15 + hex[lo]"),
    dict(name="tab-not-special", breaks="TAB is copied instead of becoming a space, by every kernel",
         find="to_space[] = {'+', '\\t'};", replace="to_space[] = {'+', '+'};"),
    dict(name="scalar-after-cr-lost", breaks="a CR LF split between two reads gives two line breaks",
         find="state.after_cr = prev_cr != 0;", replace="state.after_cr = false;"),
    dict(name="settle-stray-percent-lost", breaks="a '%' before a non-hex byte across reads is dropped",
         find="            out[o++] = rule::escape;\n            state.pending_len = 0;", replace="            state.pending_len = 0;"),
    dict(name="finish-keeps-state", ci=True, breaks="a state reused after the end of an input carries old bytes",
         find="    state = decode_state{};", replace=""),
    dict(name="finish-drops-digit", breaks="an unfinished %X at the end loses its X",
         find="if (state.pending_len == 2) out[o++] = state.pending_hex;", replace=""),
    dict(name="kernel-unsupported-chosen", breaks="a kernel the CPU cannot run is chosen",
         find="if (k.supported()) chosen = &k;", replace="chosen = &k;",
         equivalent_if="avx512_vbmi2", reason="on a CPU that runs every kernel, the last one is the best anyway"),
    dict(name="kernel-scalar-only", breaks="the vector kernels are never used",
         find="if (k.supported()) chosen = &k;", replace="static_cast<void>(k);",
         equivalent="speed only, which the benchmark shows; every kernel gives the same bytes"),
    # Seen only on a CPU with SSSE3 and without AVX2, where the program dies of
    # SIGILL: the kernel tests under qemu-x86_64 -cpu Westmere (in the suite
    # wherever qemu-user is installed) kill it on any x86-64 machine.
    dict(name="registry-avx2-on-ssse3-cpu", breaks="an SSSE3-only CPU is given the AVX2 kernel",
         file="registry", find="{\"avx2\", avx2_supported,", replace="{\"avx2\", ssse3_supported,", ci=True),
    dict(name="vector-after-cr-lost", breaks="a CR ending the vector loop's part loses its LF pairing",
         find="state.after_cr = stop.after_cr;", replace=""),
    dict(name="vector-skip-ignored", breaks="escape digits decoded by the loop are decoded again",
         find="i += stop.in + stop.skip;", replace="i += stop.in;"),
    dict(name="carried-digits-swapped", breaks="an escape across the loop's end is mis-resumed",
         find="carry == 1 ? 1u : 2u", replace="carry == 1 ? 2u : 1u"),
    # The block loop of the SSSE3, AVX2 and NEON kernels, written once in
    # block.h: each mutant changes all three (this machine runs the first two).
    dict(name="block-plain-keeps-cr", ci=True, breaks="a CR, plain blocks to the loop's end, then an LF: the LF is swallowed",
         file="block.h", find="last = none;\n        prev_cr = 0;", replace="last = none;", needs="ssse3"),
    dict(name="block-space-keeps-cr", ci=True, breaks="a CR, a block of '+', then an LF: the LF is swallowed",
         file="block.h", find="prev_cr = 0;\n            return;", replace="return;", needs="ssse3"),
    dict(name="block-cr-across-blocks", breaks="a CR ending one block and an LF starting the next give two breaks",
         file="block.h", find="((cr << 1) | prev_cr)", replace="(cr << 1)", needs="ssse3"),
    dict(name="block-carry-lost", ci=True, breaks="an escape across two blocks decodes its digits twice",
         file="block.h", find="carry = static_cast<unsigned>(digits >> 32);", replace="carry = 0;", needs="ssse3"),
    dict(name="block-lf-slot-lost", ci=True, breaks="in a block with a line break, no byte gives its LF",
         file="block.h", find=" + rule::base3[(twice >> (8 * h)) & 0xFFu]", replace="", needs="ssse3"),
    dict(name="block-common-breaks-lost", breaks="where line breaks are common, no byte gives its LF",
         file="block.h", find="carry), breaks, in + i}", replace="carry), breaks_common ? 0u : breaks, in + i}",
         needs="ssse3"),
    dict(name="block-stray-store-any", breaks="where escapes are rare, a block with an escape keeps its digits",
         file="block.h", find="(carry | breaks | esc) == 0", replace="(carry | breaks) == 0", needs="ssse3"),
    dict(name="block-stray-keeps-carry", ci=True,
         breaks="where escapes are rare, digits an escape took from the block before come out again if it holds a stray '%'",
         file="block.h", find="(carry | breaks | esc) == 0", replace="(breaks | esc) == 0", needs="ssse3"),
    dict(name="block-escapes-unasked", breaks="where escapes are rare, a block's escapes are copied undecoded",
         file="block.h", find="if (escapes_common || V::any(percent)) {", replace="if (escapes_common) {", needs="ssse3"),
    dict(name="avx512-ctrl-z-unwatched", ci=True, breaks="the parallel pass writes on past a Ctrl-Z in a block that is not plain",
         file="avx512", find="__m512i v = load(in + i);\n        if constexpr (watch)", replace="__m512i v = load(in + i);\n        if constexpr (false)",
         needs="avx512_vbmi2"),
    dict(name="avx512-ctrl-z-unwatched-in-plain-run", breaks="the parallel pass writes on past a Ctrl-Z in a run of plain blocks",
         file="avx512", find="v = load(in + i);\n                if constexpr (watch)", replace="v = load(in + i);\n                if constexpr (false)",
         needs="avx512_vbmi2"),
    dict(name="ctrl-z-unwatched-in-tail", within="decode_chunk_vector",
         breaks="the parallel pass writes on past a Ctrl-Z among the last bytes of a piece",
         find="stop.ctrl_z || holds_ctrl_z(in.subspan(i))", replace="stop.ctrl_z"),
    dict(name="ctrl-z-unseen-after-first-read", within="one_thread_pass",
         breaks="the one-thread pass writes on past a Ctrl-Z after its first read",
         find="decode_piece_to_ctrl_z(state, p, buffer.out)", replace="decode_piece(state, p, buffer.out)"),
    dict(name="ctrl-z-seen-not-cut", ci=True, within="decode_piece_to_ctrl_z",
         breaks="either pass writes on past a Ctrl-Z after the first piece",
         find="    if (ctrl_z_seen) {", replace="    if (false) {"),
    dict(name="avx512-common-breaks-lost", breaks="where line breaks are common, every byte gives one output byte",
         file="avx512", find="if (!breaks_common && d.twice == 0) {", replace="if (breaks_common || d.twice == 0) {", needs="avx512_vbmi2"),
    dict(name="avx512-plain-keeps-cr", breaks="a CR, plain blocks to the loop's end, then an LF: the LF is swallowed",
         file="avx512", find="prev_cr = cr_before = 0;", replace="cr_before = 0;", needs="avx512_vbmi2"),
    dict(name="avx512-common-crs-plain-keeps-cr",
         breaks="where CRs are common, a CR, plain blocks to the loop's end, then an LF: the LF is swallowed",
         file="avx512", find="prev_cr = cr_before = 0;", replace="prev_cr = 0;", needs="avx512_vbmi2"),
    dict(name="avx512-compact-keeps-cr", breaks="a CR, a block with no break, then an LF: the LF is swallowed",
         file="avx512", find="prev_cr = 0;\n            return;", replace="return;", needs="avx512_vbmi2"),
    dict(name="avx512-common-crs-keep-lf", breaks="where CRs are common, the LF of a CR LF gives a second break",
         file="avx512", find="            brk &= ~lf_after_cr;\n", replace="", needs="avx512_vbmi2"),
    dict(name="avx512-escapes-unasked", breaks="where line breaks are common and escapes rare, escapes are copied undecoded",
         file="avx512", find="if (!escapes_rare || percent != 0) {", replace="if (!escapes_rare) {", needs="avx512_vbmi2"),
    dict(name="block-common-escapes-skipped", breaks="where escapes are common, no escape is decoded",
         file="block.h", find="if (escapes_common || V::any(percent)) {", replace="if (!escapes_common && V::any(percent)) {", needs="ssse3"),
    dict(name="block-last-digit-misread", breaks="a '%' two bytes before an SSSE3 block's end takes the wrong second digit",
         file="block.h", find="rule::hex[in[i + width + 1]]", replace="rule::hex[in[i + width]]", needs="ssse3"),
]


def cpu_flags():
    try:
        for line in open("/proc/cpuinfo", encoding="ascii", errors="replace"):
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def function_bodies(text, name):
    """The (start, end) of the body of each definition of function `name`.

    A definition starts a line (this code never indents one), may be
    qualified (detail::name), and has a body where a declaration has ';'."""
    spans = []
    for found in re.finditer(r"^(?=\S)[^\n;{}=]*?\b" + re.escape(name) + r"\s*\(", text, re.M):
        i, depth = found.end(), 1
        while i < len(text) and depth:
            depth += {"(": 1, ")": -1}.get(text[i], 0)
            i += 1
        while i < len(text) and text[i] not in "{;":
            i += 1
        if i >= len(text) or text[i] == ";":
            continue
        start, depth = i, 0
        while i < len(text):
            depth += {"{": 1, "}": -1}.get(text[i], 0)
            i += 1
            if depth == 0:
                break
        spans.append((start, i))
    return spans


def locate(tree, m):
    """The one file and offset where mutant m applies, or why it is not found.

    A mutant names the text to change (`find`) and, so that it survives code
    moving between files, the function it is in (`within`), looked for in
    every file under src/; `file` narrows the search to paths containing it."""
    files = sorted(p for p in (tree / "src").rglob("*") if p.is_file())
    if m.get("file"):
        files = [p for p in files if m["file"] in str(p.relative_to(tree))]
    hits = []
    for p in files:
        text = p.read_text(encoding="utf-8")
        spans = function_bodies(text, m["within"]) if m.get("within") else [(0, len(text))]
        for begin, end in spans:
            start = begin
            while (k := text.find(m["find"], start, end)) >= 0:
                hits.append((p, k))
                start = k + 1
    where = f" in {m['within']}()" if m.get("within") else ""
    nth = m.get("nth")
    if nth is not None:
        same_file = [h for h in hits if h[0] == hits[0][0]] if hits else []
        if len({h[0] for h in hits}) == 1 and len(same_file) >= nth:
            return same_file[nth - 1], None
        return None, f"occurrence {nth} not found{where} in one file ({len(hits)} hits)"
    if len(hits) != 1:
        return None, f"text found {len(hits)} times{where}, not once"
    return hits[0], None


def run(cmd, cwd, timeout, log):
    with open(log, "ab") as out:
        try:
            return subprocess.run(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return "timeout"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--subset", choices=["all", "ci"], default="all")
    ap.add_argument("--only", help="comma-separated parts of mutant names")
    ap.add_argument("--check-equivalents", action="store_true", help="run the mutants marked equivalent too")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--locate", action="store_true",
                    help="only check that every mutant's site is found once in the tree, building nothing")
    ap.add_argument("--scratch", help="scratch directory (default: a new temporary one, removed afterwards)")
    ap.add_argument("--jobs", default="2")
    args = ap.parse_args()

    flags = cpu_flags()
    chosen = []
    for m in MUTANTS:
        if args.subset == "ci" and not m.get("ci"):
            continue
        if args.only and not any(part in m["name"] for part in args.only.split(",")):
            continue
        m = dict(m)
        if m.get("equivalent_if") and m["equivalent_if"] in flags:
            m["equivalent"] = m["reason"]
        chosen.append(m)
    if args.list:
        for m in chosen:
            note = f"  [equivalent: {m['equivalent']}]" if m.get("equivalent") else ""
            print(f"{m['name']:32} {m['breaks']}{note}")
        return 0

    repo = pathlib.Path(__file__).resolve().parent.parent
    # Every site is looked for before anything is built: a site no longer
    # found is a list out of date, told apart from a mutant the tests kill.
    missing = [(m["name"], error) for m in chosen for _, error in [locate(repo, m)] if error]
    for name, error in missing:
        print(f"  SITE NOT FOUND {name}: {error}", flush=True)
    if args.locate or missing:
        print(f"{len(chosen) - len(missing)} of {len(chosen)} mutant sites found once")
        return 1 if missing else 0
    scratch = pathlib.Path(args.scratch) if args.scratch else pathlib.Path(tempfile.mkdtemp(prefix="quenlo-mutate-"))
    tree = scratch / "tree"
    build = scratch / "build"
    log = scratch / "log.txt"
    # The working tree as it stands, uncommitted changes included.
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=repo,
                            capture_output=True, check=True).stdout.decode().split("\0")
    for rel in filter(None, listed):
        src = repo / rel
        if src.is_file():
            dst = tree / rel
            dst.parent.mkdir(parents=True, exist_ok=True)
            if not dst.exists() or dst.read_bytes() != src.read_bytes():
                shutil.copy2(src, dst)
    print(f"scratch tree {tree}; build log {log}", flush=True)

    build_cmd = ["cmake", "--build", str(build), "-j", args.jobs]
    # The suite as the README runs it, less what tests the documents' recipes
    # (other tools running the program, 8 s a run, and ctest starts the
    # longest first), and the shared library no test links, which would
    # compile a mutated decoder twice.
    test_cmd = ["ctest", "--test-dir", str(build), "-j", args.jobs, "--stop-on-failure", "--timeout", "60",
                "-E", "^Recipes[.]"]
    if run(["cmake", "-S", str(tree), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release", "-DQUENLO_SHARED=OFF"],
           tree, 600, log) != 0 \
            or run(build_cmd, tree, 1800, log) != 0 or run(test_cmd, tree, 1800, log) != 0:
        print(f"the unmutated tree does not build or pass its tests: see {log}", file=sys.stderr)
        return 2

    results = {"killed": [], "survived": [], "equivalent": [], "skipped": []}
    started = time.monotonic()
    for m in chosen:
        name = m["name"]
        if m.get("equivalent") and not args.check_equivalents:
            results["equivalent"].append(name)
            print(f"  equivalent {name}: {m['equivalent']}", flush=True)
            continue
        if m.get("needs") and m["needs"] not in flags:
            results["skipped"].append(name)
            print(f"  skipped    {name}: this CPU lacks {m['needs']}", flush=True)
            continue
        (path, offset), _ = locate(tree, m)
        original = path.read_text(encoding="utf-8")
        path.write_text(original[:offset] + m["replace"] + original[offset + len(m["find"]):], encoding="utf-8")
        t0 = time.monotonic()
        with open(log, "a") as f:
            f.write(f"\n===== {name}\n")
        try:
            built = run(build_cmd, tree, 900, log)
            outcome = "killed (build)" if built != 0 else ("killed" if run(test_cmd, tree, 1800, log) != 0 else "survived")
        finally:
            path.write_text(original, encoding="utf-8")
        kind = "survived" if outcome == "survived" else "killed"
        if m.get("equivalent") and kind == "killed":
            print(f"  note: {name} is marked equivalent but was killed", flush=True)
        results["equivalent" if m.get("equivalent") and kind == "survived" else kind].append(name)
        label = "SURVIVED" if kind == "survived" and not m.get("equivalent") else outcome
        print(f"  {label:10} {name} ({time.monotonic() - t0:.0f} s): {m['breaks']}", flush=True)
    run(build_cmd, tree, 900, log)  # leave the scratch build unmutated

    killed, survived = len(results["killed"]), len(results["survived"])
    score = 100.0 * killed / (killed + survived) if killed + survived else 100.0
    print(f"\nkilled {killed}, survived {survived}, equivalent {len(results['equivalent'])}, "
          f"skipped {len(results['skipped'])}; "
          f"score {score:.1f} % in {time.monotonic() - started:.0f} s on {platform.machine()}")
    if survived:
        print("survived: " + ", ".join(results["survived"]), file=sys.stderr)
    if not args.scratch:
        shutil.rmtree(scratch, ignore_errors=True)
    return 1 if survived else 0


if __name__ == "__main__":
    sys.exit(main())
