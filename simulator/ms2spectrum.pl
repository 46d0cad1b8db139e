#!/usr/bin/env perl
# ms2spectrum.pl -- site-frequency tables from a small coalescent simulation,
# in the record format that qualgen's model "ms" reads.
#
# For every site: a depth n drawn from a Poisson distribution with the mean
# depth (at least 1); the genealogy of n lineages (standard coalescent, or
# exponential growth at rate g, where k lineages coalesce at rate
# C(k,2) e^(g t)); Poisson(theta/2 x total branch length) mutations; the
# derived count of the first mutation (0 when there is none). Output: one
# record per depth, "n p(0) ... p(n-1)", where p(j) is the share of all sites
# that have depth n and derived count j.
#
# Perl 5.22 or newer, core modules only.
use strict;
use warnings;
use Getopt::Std;
use POSIX ();

$Getopt::Std::STANDARD_HELP_VERSION = 1;

# Deeper sites would take hours of genealogies each; the limit also keeps
# the Poisson draw of a depth finite.
my $maxMeanDepth = 10000;

my $usage = <<"END";
Usage: $0 -d <mean depth> -n <number of sites> -t <theta per site> [-r <rate>] [-g <growth rate>] [-s <seed>]
Where\t-d --> mean of the Poisson distribution of read depths (a site has at least 1 read;
\t       at most $maxMeanDepth)
\t-n --> number of sites to simulate
\t-t --> scaled mutation rate theta per site
\t-r --> recombination rate: accepted and without effect, since every site
\t       has its own independent genealogy
\t-g --> (default 0) exponential growth rate g >= 0; 0 is the standard coalescent
\t-s --> (optional) seed of the random numbers, for repeatable tables
Prints one record per depth n: n followed by the n shares of all sites that
have depth n and j = 0 .. n-1 copies of the derived allele.
END

sub HELP_MESSAGE { print STDERR $usage; }

sub fail
{
    my ($msg) = @_;
    print STDERR "ms2spectrum.pl: $msg\n", $usage;
    exit 2;
}

my $number = qr/^[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?$/;

my %opt;
getopts('d:n:t:r:g:s:', \%opt) or fail("invalid arguments");
fail("unexpected argument '$ARGV[0]'") if @ARGV;
for my $o (qw(d n t)) {
    fail("-$o is required") unless defined $opt{$o};
}
for my $o (qw(d n t r g s)) {
    next unless defined $opt{$o};
    fail("-$o '$opt{$o}' is not a number") unless $opt{$o} =~ $number;
}

my $meanDepth = $opt{d} + 0;
my $theta     = $opt{t} + 0;
my $growth    = defined $opt{g} ? $opt{g} + 0 : 0;
fail("-n '$opt{n}' is not a whole number >= 0") unless $opt{n} =~ /^\+?\d+$/;
my $numSites = $opt{n} + 0;
fail("-d must not be negative") if $meanDepth < 0;
fail("-d must not exceed $maxMeanDepth") if $meanDepth > $maxMeanDepth;
fail("-t must not be negative") if $theta < 0;
# A shrinking population need not reach a common ancestor at all.
fail("-g must not be negative") if $growth < 0;
srand($opt{s}) if defined $opt{s};

# Poisson deviate: multiplication of uniforms (Knuth), in pieces of mean at
# most 30 so that e^-mean never underflows.
sub poisson
{
    my ($mean) = @_;
    my $count = 0;
    while ($mean > 0) {
        my $piece = $mean > 30 ? 30 : $mean;
        $mean -= $piece;
        my $limit = exp(-$piece);
        my $prod  = rand();
        while ($prod > $limit) {
            ++$count;
            $prod *= rand();
        }
    }
    return $count;
}

# Durations of the epochs with n, n-1, ..., 2 lineages. With E ~ Exp(1) and
# the epoch starting at time t, the growth model's waiting time s solves
#   C(k,2)/g (e^(g(t+s)) - e^(g t)) = E,  i.e.  s = log1p(g E e^(-g t) / C(k,2)) / g.
sub epochs
{
    my ($n) = @_;
    my @dur;
    my $t = 0;
    for (my $k = $n; $k > 1; --$k) {
        my $rate = $k * ($k - 1) / 2;
        my $e    = -log(1 - rand());
        my $s =
            $growth > 0
            ? POSIX::log1p($growth * $e * exp(-$growth * $t) / $rate) / $growth
            : $e / $rate;
        push @dur, $s;
        $t += $s;
    }
    return @dur;
}

# Leaf counts of the lineages present in the epoch with k lineages: random
# pairs merge from n lineages down to k. Topology and times are independent
# under both models, so the merges can be drawn after the times.
sub lineages_at
{
    my ($n, $k) = @_;
    my @leaves = (1) x $n;
    while (@leaves > $k) {
        my $m = @leaves;
        my $i = int(rand($m));
        my $j = int(rand($m - 1));
        ++$j if $j >= $i;
        $leaves[$i] += $leaves[$j];
        splice(@leaves, $j, 1);
    }
    return @leaves;
}

# Derived count of the first mutation on the genealogy of n lineages.
sub site
{
    my ($n) = @_;
    return 0 if $n < 2;
    my @dur   = epochs($n);
    my $total = 0;
    for my $i (0 .. $#dur) {
        $total += ($n - $i) * $dur[$i];
    }
    # Only whether the Poisson(theta/2 x total) number of mutations is 0
    # matters, which happens with probability e^-(theta/2 x total); drawing
    # the number itself would take forever for a huge theta.
    return 0 if rand() < exp(-$theta / 2 * $total);
    # The first mutation lies at a uniform point of the tree.
    my $x = rand() * $total;
    for my $i (0 .. $#dur) {
        my $k   = $n - $i;
        my $len = $k * $dur[$i];
        if ($x < $len || $i == $#dur) {
            my @leaves = lineages_at($n, $k);
            return $leaves[int(rand($k))];
        }
        $x -= $len;
    }
    return 0;    # not reached
}

my %count;    # depth -> [ sites per derived count ]
for (1 .. $numSites) {
    my $n = poisson($meanDepth);
    $n = 1 if $n < 1;
    $count{$n} ||= [ (0) x $n ];
    ++$count{$n}[ site($n) ];
}

# The reader turns a share p back into trunc(numSites x p) sites. count/numSites
# can come out a hair low (3/10000 x 10000 = 2.9999999999999996), which
# would lose a site, so the share is raised to the next double until the
# product reaches the count, and printed with enough digits to be read back
# exactly.
sub share
{
    my ($count) = @_;
    my $p = $count / $numSites;
    $p = POSIX::nextafter($p, 2) while $numSites * $p < $count;
    return sprintf('%.17g', $p);
}

for my $n (sort { $a <=> $b } keys %count) {
    print join(' ', $n, map { share($_) } @{ $count{$n} }), "\n";
}
