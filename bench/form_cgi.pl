#!/usr/bin/perl
# Competitor: Perl's CGI.pm decodes the request's form data. An upload in
# the field "upload" lands in the file BENCH_LAND (CGI.pm spools it into
# TMPDIR, which the benchmark sets to BENCH_LAND's directory, and it is
# renamed there); the answer counts the fields.
use strict;
use warnings;
use CGI;

my $q = CGI->new;
my $count = 0;
$count += scalar(my @values = $q->multi_param($_)) for $q->multi_param;
if (defined(my $name = $q->param('upload'))) {
  my $spooled = $q->tmpFileName($name) or die "form_cgi.pl: the upload was not spooled\n";
  rename $spooled, $ENV{BENCH_LAND} or die "form_cgi.pl: rename: $!\n";
}
print $q->header('text/plain'), "$count values\n";
