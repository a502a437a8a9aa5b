#!/usr/bin/perl
# Writes a program's manual page, compressed as Debian wants it (gzip -9n), from two texts that
# exist anyway: the program's --help and --version, which help2man turns into NAME, SYNOPSIS,
# DESCRIPTION and OPTIONS, and the parts of the README marked for the page, which this script
# turns from Markdown into roff and hands to help2man as further sections. So nothing in a
# manual page is written twice.
#
#   perl manpage.pl --help2man PATH --section N --name TEXT --readme README.md --output OUT.gz
#                   [--see-also 'page(1), page(8)'] PROGRAM
#
# In the README a part begins with a line "<!-- man PAGE SECTION -->" (PAGE as in
# lobby-server.8, SECTION a manual section's title, or help2man's ">DESCRIPTION" to follow the
# description from --help) and ends at the next such line, at "<!-- man end -->", or at the
# next "#" or "##" heading. Its Markdown may hold paragraphs, "###" headings (subsections),
# "- " lists, ``` blocks, tables and `code`, [links](...) and **bold**; a table whose first
# heading is "Option" is left out, since the options come from --help. --see-also adds that
# section's line of references.
use strict;
use warnings;
use File::Basename qw(basename);
use File::Temp qw(tempfile);
use Getopt::Long qw(GetOptions);

my %arg;
GetOptions(\%arg, 'help2man=s', 'section=s', 'name=s', 'readme=s', 'output=s', 'see-also=s') && @ARGV == 1
    && !grep { !defined $arg{$_} } qw(help2man section name readme output)
    or die "usage: manpage.pl --help2man PATH --section N --name TEXT --readme FILE --output FILE.gz PROGRAM\n";
my $program = $ARGV[0];
my $page = basename($program) . ".$arg{section}";

# A line that roff would take for a request ("." or "'"), or help2man for a section ("[")
# or a pattern ("/"), starts with a zero-width character instead.
sub line_start {
    my ($line) = @_;
    return $line =~ /^[.'\[\/]/ ? "\\&$line" : $line;
}

# Text for roff, all ASCII: backslashes escaped, other characters than ASCII by their Unicode
# number (no man page reader then guesses an encoding); in code, dashes are minus signs.
sub escape {
    my ($text, $code) = @_;
    $text =~ s/\\/\\e/g;
    $text =~ s/-/\\-/g if $code;
    $text =~ s/([^\x00-\x7F])/sprintf('\\[u%04X]', ord $1)/ge;
    return $text;
}

# Markdown text of one block (lines joined by newlines) as roff lines: `code` bold, links as
# their text, images left out, **bold** bold.
sub inline {
    my ($text) = @_;
    my @pieces = split /(`[^`]*`)/, $text;
    for (@pieces) {
        if (s/^`(.*)`$/$1/s) {
            $_ = '\fB' . escape($_, 1) . '\fR';
            next;
        }
        s/!\[[^\]]*\]\([^)]*\)//g;
        s/\[([^\]]*)\]\([^)]*\)/$1/g;
        $_ = escape($_, 0);
        s/\*\*([^*]+)\*\*/\\fB$1\\fR/g;
    }
    return join "\n", map { line_start($_) } split /\n/, join('', @pieces);
}

sub cells {
    my ($row) = @_;
    $row =~ s/^\s*\|//;
    $row =~ s/\|\s*$//;
    return map { s/^\s+|\s+$//gr } split /(?<!\\)\|/, $row;
}

# The README's parts for this page, as [SECTION] blocks of roff for help2man's --include.
sub readme_sections {
    open my $in, '<:encoding(UTF-8)', $arg{readme} or die "manpage.pl: cannot read $arg{readme}: $!\n";
    my ($out, $inside, $fence, $table, $skip_table) = ('', 0, 0, 0, 0);
    my @block;    # the lines of the paragraph or list item being read
    my $flush = sub {
        $out .= inline(join "\n", @block) . "\n" if @block;
        @block = ();
    };
    while (my $line = <$in>) {
        chomp $line;
        my $marker = $line =~ /^<!--\s*man\s+(\S+)(?:\s+(.*?))?\s*-->\s*$/;
        my ($marked_page, $section) = ($1, $2);
        if ($marker || $line =~ /^#{1,2}\s/) {
            $flush->();
            $inside = $marker && $marked_page eq $page;
            $out .= "[$section]\n.PP\n" if $inside;
            next;
        }
        next unless $inside;
        if ($line =~ /^```/) {
            $flush->();
            $out .= $fence ? ".fi\n.RE\n" : ".PP\n.RS 4\n.nf\n";
            $fence = !$fence;
        } elsif ($fence) {
            $out .= line_start(escape($line, 1)) . "\n";
        } elsif ($line =~ /^\s*\|/) {
            $flush->();
            my @cells = cells($line);
            if (!$table) {
                ($table, $skip_table) = (1, $cells[0] eq 'Option');
            } elsif (!$skip_table && $line !~ /^\s*\|[\s:|-]+\|\s*$/) {
                $out .= ".TP\n" . join("\n", map { inline($_) } @cells) . "\n";
            }
        } elsif ($line =~ /^#+\s+(.*)/) {
            $flush->();
            $out .= '.SS "' . escape($1 =~ s/"//gr, 0) . "\"\n";
        } elsif ($line =~ /^\s*$/) {
            $flush->();
            $out .= ".PP\n";
        } elsif ($line =~ /^-\s+(.*)/) {
            $flush->();
            $out .= ".IP \\(bu 2\n";
            push @block, $1;
        } else {
            push @block, $line =~ s/^\s+//r;
        }
        $table = 0 unless $line =~ /^\s*\|/;
    }
    $flush->();
    $out .= "[SEE ALSO]\n" . inline($arg{'see-also'}) . "\n" if defined $arg{'see-also'};
    $out =~ s/^\.PP\n(?=\.PP\n|\.SS|\.IP|\[)//mg;
    return $out;
}

my ($include, $include_path) = tempfile(UNLINK => 1);
print $include readme_sections();
close $include;
my ($page_file, $page_path) = tempfile(UNLINK => 1);
close $page_file;
system($arg{help2man}, '--no-info', '--section', $arg{section}, '--name', $arg{name},
       '--include', $include_path, '--output', $page_path, $program) == 0
    or die "manpage.pl: help2man failed for $program\n";
system("gzip -9n -c '$page_path' > '$arg{output}'") == 0 or die "manpage.pl: gzip failed\n";
