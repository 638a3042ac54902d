#!/usr/bin/python3
# Competitor: Python's cgi.FieldStorage decodes the request's form data. An
# upload in the field "upload" is written straight into the file BENCH_LAND
# (make_file is the documented hook for where uploads go); the answer
# counts the fields.
import os
import sys
import warnings

warnings.simplefilter("ignore", DeprecationWarning)  # cgi is deprecated from 3.11 on
import cgi  # noqa: E402


class Landing(cgi.FieldStorage):
    def make_file(self):
        return open(os.environ["BENCH_LAND"], "wb+")


form = Landing(keep_blank_values=True)
count = sum(len(form.getlist(name)) for name in form.keys())
if "upload" in form and form["upload"].file is not None:
    form["upload"].file.close()
sys.stdout.write("Content-Type: text/plain\r\n\r\n%d values\n" % count)
