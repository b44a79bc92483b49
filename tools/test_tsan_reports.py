"""Which ThreadSanitizer reports are the libraries'."""
import tsan_reports

REPORT = """WARNING: ThreadSanitizer: data race (pid=1)
  Write of size 8 at 0x7f by thread T7:
    #0 memcpy sanitizer_common_interceptors.inc:827 (libtsan.so.2+0x5dda6)
    #1 bytearray_setslice_linear Objects/bytearrayobject.c:629 (python3.14t+0x136425)
  Previous read of size 1 at 0x7f by thread T5:
    #0 {reader} (python3.14t+0x419e)
    #1 function_call frame/function.cpp:41 (tavro_crypt_3.cpython-314t-x86_64-linux-gnu.so+0x1)
"""


def test_a_race_is_the_libraries_only_where_their_code_makes_an_access():
    theirs = REPORT.format(reader="binascii_b2a_base64_impl Modules/binascii.c:571")
    ours = REPORT.format(reader="tavro::plain_bytes frame/calls.cpp:113 (tavro_crypt_3.so+0xc919)")
    assert [tsan_reports.libraries_access(r) for r in tsan_reports.reports(theirs + ours)] == [
        False, True]
