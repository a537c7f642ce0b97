# The interface of the package pairfit for type checkers and editors; __init__.py documents
# it. tests/python checks that this file lists every public name and attribute.
import os
from typing import ClassVar, Literal, NamedTuple, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

__all__ = ["Series", "Fit", "Curves", "read_series", "import_spectra", "fit", "trend",
           "TrendResult", "TrendParameter", "Error", "MissingFileError", "PairfitWarning",
           "fit_lines", "read_lines", "LinesFit", "LineCurves"]

_Path = Union[str, os.PathLike[str]]
_Floats = npt.NDArray[np.float64]
_Ints = npt.NDArray[np.int64]
_Kind = Literal["bad_arguments", "unreadable_input", "malformed_input", "non_finite_fit",
                "unwritable_output", "internal_error"]
_Model = Literal["decay", "recovery", "inversion", "binding", "decay2"]
_XList = Literal["vdlist", "vclist", "vplist", "vtlist", "none"]

class Error(ValueError):
    KINDS: ClassVar[tuple[str, ...]]
    kind: _Kind
    def __init__(self, message: str, kind: _Kind) -> None: ...

class MissingFileError(FileNotFoundError, Error):
    message: str
    def __init__(self, message: str, filename: str) -> None: ...

class PairfitWarning(UserWarning): ...

class Series:
    ppm: _Floats
    intensity: _Floats
    z: Optional[_Floats]
    z_unit: str
    noise_region: Optional[tuple[float, float]]
    noise: Optional[list[_Floats]]
    noise_ppm: Optional[_Floats]
    noise_intensity: Optional[_Floats]
    def __init__(self, ppm: npt.ArrayLike, intensity: npt.ArrayLike,
                 z: Optional[npt.ArrayLike] = None, z_unit: str = "",
                 noise_ppm: Optional[npt.ArrayLike] = None,
                 noise_intensity: Optional[npt.ArrayLike] = None) -> None: ...
    @property
    def slices(self) -> int: ...
    @property
    def point_spacing(self) -> float: ...

class Curves(NamedTuple):
    data: _Floats
    line_A: _Floats
    line_B: _Floats
    residual: _Floats

class Fit:
    slice: _Ints
    z: _Floats
    points: _Ints
    status: list[str]
    iterations: _Ints
    MA: _Floats
    MA_se: _Floats
    MB: _Floats
    MB_se: _Floats
    LWA: _Floats
    LWA_se: _Floats
    LWB: _Floats
    LWB_se: _Floats
    height_A: _Floats
    height_A_se: _Floats
    height_B: _Floats
    height_B_se: _Floats
    area_A: _Floats
    area_A_se: _Floats
    area_B: _Floats
    area_B_se: _Floats
    fraction_A: _Floats
    fraction_A_se: _Floats
    rss: _Floats
    sigma: _Floats
    noise: _Floats
    chi2_red: _Floats
    columns: list[str]
    scale_factor: float
    ppm: _Floats
    peak_A: float
    peak_B: float
    widths: Optional[tuple[float, float]]
    def __len__(self) -> int: ...
    def __getitem__(self, name: str) -> Union[_Floats, _Ints, list[str]]: ...
    def to_pandas(self): ...  # a pandas.DataFrame; pandas is optional
    def curves(self) -> Curves: ...

def read_series(folder: _Path = ".",
                noise: Optional[Sequence[float]] = None) -> tuple[Series, dict[str, object]]: ...
def import_spectra(*paths: _Path, window: Optional[Sequence[float]] = None,
                   x_list: Union[_XList, str, os.PathLike[str], None] = None) -> Series: ...
def fit(series: Series, peak_A: float, peak_B: float,
        widths: Optional[Sequence[float]] = None, signed: bool = False,
        noise: Optional[Sequence[float]] = None) -> Fit: ...
class TrendParameter(NamedTuple):
    value: float
    se: float
    se_mc: float

class TrendResult:
    model: str
    params: dict[str, TrendParameter]
    chi2: float
    dof: int
    chi2_red: float
    rss: float
    p_value: float
    status: str
    n: int
    excluded: list[int]
    def __init__(self, model: str, values: dict[str, object]) -> None: ...
    def __getitem__(self, name: str) -> object: ...

def trend(z: npt.ArrayLike, y: npt.ArrayLike, se: npt.ArrayLike, model: _Model,
          protein: Optional[float] = None, mc: int = 500, seed: Optional[int] = None,
          weighted: bool = True, status: Optional[Sequence[str]] = None,
          line: Union[str, Sequence[str], None] = None,
          keep_bound: bool = False,
          half_width: Union[npt.ArrayLike, Sequence[npt.ArrayLike], None] = None,
          point_spacing: Optional[float] = None,
          half_width_se: Union[npt.ArrayLike, Sequence[npt.ArrayLike], None] = None
          ) -> TrendResult: ...

# pairfit-lines (_lines.py)
_Shape = Literal["lorentzian", "gaussian", "pseudo-voigt"]
_LineRow = tuple[str, float, Optional[float], Optional[_Shape]]
_LineItem = Union[tuple[str, float], tuple[str, float, Optional[float]],
                  tuple[str, float, Optional[float], Optional[_Shape]]]

class LineCurves(NamedTuple):
    data: _Floats
    lines: tuple[_Floats, ...]
    baseline: Optional[_Floats]
    residual: _Floats

class LinesFit:
    names: list[str]
    lines: dict[str, np.ndarray]   # [slice, line]: floats, ints (slice), str (line, shape, status)
    slices: dict[str, np.ndarray]  # [slice]
    z: Optional[_Floats]
    ppm: _Floats
    def __len__(self) -> int: ...
    def curves(self) -> LineCurves: ...
    def to_pandas(self) -> tuple[object, object]: ...  # two pandas.DataFrame; pandas is optional
    def trend(self, line: str, model: _Model, column: str = "area",
              **options: object) -> TrendResult: ...

def read_lines(path: _Path) -> list[_LineRow]: ...
def fit_lines(series: Series, lines: Union[Sequence[_LineItem], _Path],
              shape: _Shape = "lorentzian",
              baseline: Optional[Literal["none", "constant", "linear"]] = None,
              float: float = 0.0, widths: Literal["free", "fixed", "sum"] = "free",
              positive: bool = False, noise: Optional[Sequence[float]] = None,
              window: Optional[Sequence[float]] = None) -> LinesFit: ...
