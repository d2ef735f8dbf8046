#!/usr/bin/perl
# groff cannot break Chinese text, which has no spaces, and warns that it cannot adjust such
# lines: allow a break (\:) between two CJK characters or full-width punctuation marks, and
# set the text ragged right, since such lines have no spaces to stretch.
use strict;
use warnings;
use open qw(:std :encoding(UTF-8));

my $cjk = qr/[\x{3000}-\x{303F}\x{3400}-\x{9FFF}\x{FF00}-\x{FFEF}]/;
local $^I = '';
while (<>) {
    s/($cjk)(?=$cjk)/$1\\:/g unless /^\.\\"/;
    print;
    print ".ad l\n" if /^\.TH /;
}
