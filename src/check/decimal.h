// Decimal numbers in what tavrin-check reads, read as strtol reads them in
// base 10 (leading blanks, a sign, as many digits as follow) but by the C++
// library alone: from glibc 2.38 on, strtol's headers bind it to a new C
// library symbol, and a build on such a release (trixie) would then refuse
// to install on a panel that runs bookworm's C library.
#pragma once

#include <cctype>
#include <charconv>
#include <limits>
#include <system_error>

// The number at the start of [first, last), or 0 when there is none; *end
// (when given) is where reading stopped, first itself when there was no
// number. Values beyond the type's range give its limit, as strtol's do.
template <typename Integer>
inline Integer read_decimal(const char *first, const char *last, const char **end = nullptr)
{
	const char *at = first;
	while (at < last && std::isspace(static_cast<unsigned char>(*at)) != 0)
		++at;
	if (at + 1 < last && at[0] == '+' && at[1] != '-')
		++at;
	Integer value = 0;
	const std::from_chars_result result = std::from_chars(at, last, value);
	if (end != nullptr)
		*end = result.ec == std::errc::invalid_argument ? first : result.ptr;
	if (result.ec == std::errc::result_out_of_range)
		return *at == '-' ? std::numeric_limits<Integer>::min() : std::numeric_limits<Integer>::max();
	return result.ec == std::errc() ? value : 0;
}
