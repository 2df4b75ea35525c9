#!/usr/bin/env python3
"""Reference numbers for the engine's networks, from PyTorch and the Hugging Face libraries.

Builds CLIP text models (transformers), AutoencoderKL, UNet2DConditionModel and
ControlNetModel models (diffusers) with random weights, saves each as a model bundle the engine loads
(`<Name>.model/` holding the hub's config.json and a model.safetensors with the hub's
tensor names), runs the reference implementation on fixed inputs and writes inputs and
outputs to a fixture file beside it.

    fixtures   tiny models and their fixtures, committed under tests/nn/fixtures/ and
               compared by the C++ tests (test_nn)
    full-size  the Stable Diffusion 1.5 text encoder, VAE, denoising network and safety
               checker configurations with random weights (about 2 GB; never committed), for the
               slow test and the benchmark; with --outputs also the reference outputs for
               them; --networks picks some of them

Weights are rounded to the precision they are stored in (F16, BF16 or F32) before the
reference runs, so the engine sees exactly the weights the reference used. See README.md
for the environment; run single-threaded (the script sets OPENBLAS_NUM_THREADS=1 itself).
"""

import argparse
import json
import os
import pathlib
import sys

# Debian's threaded OpenBLAS has produced NaN on small attention shapes; one thread is
# also what makes the numbers repeatable.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import torch  # noqa: E402
from safetensors.torch import save_file  # noqa: E402

torch.set_num_threads(1)

DTYPES = {"F16": torch.float16, "BF16": torch.bfloat16, "F32": torch.float32}


def randomize(model, seed):
    """Replaces every parameter with seeded values of unit-scale effect.

    Norm scales sit around 1 and shifts around 0 but are not exactly those, so a swapped
    scale and shift, or a missing bias, changes the result.
    """
    generator = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        for name, parameter in model.named_parameters():
            noise = torch.randn(parameter.shape, generator=generator)
            is_norm = "norm" in name
            if is_norm and name.endswith("weight"):
                value = 1.0 + 0.2 * noise
            elif is_norm or name.endswith("bias"):
                value = 0.2 * noise
            elif "embedding" in name:
                value = 0.5 * noise
            else:
                fan_in = parameter[0].numel() if parameter.dim() > 1 else 1
                value = noise / fan_in**0.5
            parameter.copy_(value)


def round_to(model, dtype_name):
    """Rounds the weights to their storage precision; the model keeps computing in F32."""
    with torch.no_grad():
        for parameter in model.parameters():
            parameter.copy_(parameter.to(DTYPES[dtype_name]).to(torch.float32))


def save_bundle(directory, config, tensors, dtype_name, bundle_json=None, extra=None):
    """Writes `<Name>.model/`: config.json, model.safetensors and optionally bundle.json."""
    directory.mkdir(parents=True, exist_ok=True)
    stored = {name: value.detach().to(DTYPES[dtype_name]).contiguous()
              for name, value in tensors.items()}
    stored.update(extra or {})
    save_file(stored, str(directory / "model.safetensors"), metadata={"format": "pt"})
    (directory / "config.json").write_text(json.dumps(config, indent=2, sort_keys=True) + "\n")
    bundle_file = directory / "bundle.json"
    if bundle_json is not None:
        bundle_file.write_text(json.dumps(bundle_json, indent=2) + "\n")
    elif bundle_file.exists():
        bundle_file.unlink()


def save_fixture(path, arrays):
    save_file({name: value.detach().to(torch.float32).contiguous() for name, value in arrays.items()},
              str(path))


def hub_vae_config(model, drop_keys=()):
    """The config as diffusers saves it, less `drop_keys` (as files of older versions lack
    keys added since)."""
    import diffusers

    config = {key: value for key, value in dict(model.config).items()
              if key != "_use_default_values" and key not in drop_keys}
    config["_class_name"] = type(model).__name__
    config["_diffusers_version"] = diffusers.__version__
    return config


# CLIP text models ---------------------------------------------------------------------


def clip_text_config(overrides):
    from transformers import CLIPTextConfig

    return CLIPTextConfig(**overrides)


def clip_outputs(model, ids):
    from transformers import CLIPTextModelWithProjection

    with torch.no_grad():
        result = model(input_ids=ids, output_hidden_states=True)
    pooled = (result.text_embeds if isinstance(model, CLIPTextModelWithProjection)
              else result.pooler_output)
    return {
        "last_hidden_state": result.last_hidden_state,
        "hidden_embeds": result.hidden_states[-2],
        "pooled_outputs": pooled,
    }


def write_clip(directory, name, projected, overrides, dtype_name, ids, seed, drop_keys=()):
    from transformers import CLIPTextModel, CLIPTextModelWithProjection

    config = clip_text_config(overrides)
    model = (CLIPTextModelWithProjection if projected else CLIPTextModel)(config).eval()
    randomize(model, seed)
    round_to(model, dtype_name)
    hub_config = json.loads(config.to_json_string(use_diff=True))
    hub_config["architectures"] = [type(model).__name__]
    for key in drop_keys:
        hub_config.pop(key, None)
    length = config.max_position_embeddings
    # transformers no longer saves this buffer, but files written by older versions hold it;
    # the engine must ignore it.
    extra = {"text_model.embeddings.position_ids": torch.arange(length, dtype=torch.int64)[None]}
    save_bundle(directory / f"{name}.model", hub_config, model.state_dict(), dtype_name,
                extra=extra)
    ids_tensor = torch.tensor([ids], dtype=torch.int64)
    outputs = clip_outputs(model, ids_tensor)
    save_fixture(directory / f"{name}.fixture.safetensors",
                 {"input_ids": ids_tensor.to(torch.float32), **outputs})
    return model


# AutoencoderKL ------------------------------------------------------------------------


def autoencoder(config_overrides, seed):
    from diffusers import AutoencoderKL

    model = AutoencoderKL(**config_overrides).eval()
    randomize(model, seed)
    return model


def half_of(state, prefixes):
    return {name: value for name, value in state.items() if name.startswith(prefixes)}


def write_vae_decoder(directory, name, overrides, dtype_name, latent_shape, seed, drop_keys=()):
    model = autoencoder(overrides, seed)
    round_to(model, dtype_name)
    state = model.state_dict()
    tensors = half_of(state, ("decoder.", "post_quant_conv."))
    # A tensor of the other half, as a whole hub file has: read by nobody.
    tensors["encoder.conv_in.bias"] = state["encoder.conv_in.bias"]
    save_bundle(directory / f"{name}.model", hub_vae_config(model, drop_keys), tensors,
                dtype_name)
    z = torch.randn(latent_shape, generator=torch.Generator().manual_seed(seed + 1))
    with torch.no_grad():
        image = model.decoder(model.post_quant_conv(z))
    save_fixture(directory / f"{name}.fixture.safetensors", {"z": z, "image": image})
    return model


def write_vae_encoder(directory, name, overrides, dtype_name, image_shape, seed):
    model = autoencoder(overrides, seed)
    round_to(model, dtype_name)
    tensors = half_of(model.state_dict(), ("encoder.", "quant_conv."))
    default_size = model.config.sample_size
    bundle_json = None
    if list(image_shape[2:]) != [default_size, default_size]:
        bundle_json = {"inputs": {"x": list(image_shape)}}
    save_bundle(directory / f"{name}.model", hub_vae_config(model), tensors, dtype_name,
                bundle_json=bundle_json)
    x = torch.rand(image_shape, generator=torch.Generator().manual_seed(seed + 1)) * 2 - 1
    with torch.no_grad():
        moments = model.quant_conv(model.encoder(x))
    save_fixture(directory / f"{name}.fixture.safetensors", {"x": x, "moments": moments})
    return model


# AutoencoderTiny (TAESD) ----------------------------------------------------------------

# The keys madebyollin/taesd's config.json holds.
TAESD_CONFIG_KEYS = (
    "_class_name", "_diffusers_version", "act_fn", "decoder_block_out_channels",
    "encoder_block_out_channels", "force_upcast", "in_channels", "latent_channels",
    "latent_magnitude", "latent_shift", "num_decoder_blocks", "num_encoder_blocks",
    "out_channels", "scaling_factor", "upsampling_scaling_factor",
)


def tiny_autoencoder(overrides, seed, dtype_name):
    from diffusers import AutoencoderTiny

    model = AutoencoderTiny(**overrides).eval()
    randomize(model, seed)
    round_to(model, dtype_name)
    config = {key: value for key, value in hub_vae_config(model).items()
              if key in TAESD_CONFIG_KEYS}
    return model, config


def write_tiny_decoder(directory, name, overrides, dtype_name, latent_shape, seed):
    """The preview decoder; latents drawn wide enough that the tanh clamp matters."""
    model, config = tiny_autoencoder(overrides, seed, dtype_name)
    tensors = half_of(model.state_dict(), ("decoder.",))
    save_bundle(directory / f"{name}.model", config, tensors, dtype_name,
                bundle_json={"inputs": {"z": list(latent_shape)}})
    z = torch.randn(latent_shape, generator=torch.Generator().manual_seed(seed + 1)) * 4
    with torch.no_grad():
        image = model.decode(z / model.config.scaling_factor).sample
    save_fixture(directory / f"{name}.fixture.safetensors", {"z": z, "image": image})


def write_tiny_encoder(directory, name, overrides, dtype_name, image_shape, seed):
    model, config = tiny_autoencoder(overrides, seed, dtype_name)
    tensors = half_of(model.state_dict(), ("encoder.",))
    save_bundle(directory / f"{name}.model", config, tensors, dtype_name,
                bundle_json={"inputs": {"x": list(image_shape)}})
    x = torch.rand(image_shape, generator=torch.Generator().manual_seed(seed + 1)) * 2 - 1
    with torch.no_grad():
        latents = model.encode(x).latents
    save_fixture(directory / f"{name}.fixture.safetensors", {"x": x, "latents": latents})


def write_tiny_autoencoders(out):
    # Three stages with uneven block counts, a non-square size given by bundle.json.
    write_tiny_decoder(out, "PreviewDecoder",
                       dict(decoder_block_out_channels=[8, 8, 8], num_decoder_blocks=[2, 1, 1],
                            encoder_block_out_channels=[8, 8, 8], num_encoder_blocks=[1, 1, 2]),
                       "F32", (1, 4, 6, 10), seed=41)
    # The encoder's stride-2 stages on an odd-sized image, F16 weights.
    write_tiny_encoder(out, "PreviewEncoder",
                       dict(decoder_block_out_channels=[8, 8, 8], num_decoder_blocks=[1, 1, 1],
                            encoder_block_out_channels=[8, 8, 8], num_encoder_blocks=[1, 2, 1]),
                       "F16", (1, 3, 22, 36), seed=42)


# UNet2DConditionModel ------------------------------------------------------------------

# The keys SD 1.5's published config.json holds: files of that age lack the rest, which
# then take the library's defaults.
SD15_UNET_KEYS = (
    "_class_name", "_diffusers_version", "act_fn", "attention_head_dim", "block_out_channels",
    "center_input_sample", "cross_attention_dim", "down_block_types", "downsample_padding",
    "flip_sin_to_cos", "freq_shift", "in_channels", "layers_per_block", "mid_block_scale_factor",
    "norm_eps", "norm_num_groups", "out_channels", "sample_size", "up_block_types",
)


def write_unet(directory, name, overrides, dtype_name, batch, sequence, timesteps, seed,
               keep_keys=None, drop_keys=()):
    """A tiny denoising network; its encoder states are given to diffusers as [B, S, C] and
    written for our bundle as [B, C, 1, S], the layout the pipeline hands over."""
    from diffusers import UNet2DConditionModel

    model = UNet2DConditionModel(**overrides).eval()
    randomize(model, seed)
    round_to(model, dtype_name)
    config = hub_vae_config(model, drop_keys)
    if keep_keys is not None:
        config = {key: value for key, value in config.items() if key in keep_keys}
    size = model.config.sample_size
    channels = model.config.cross_attention_dim
    bundle_json = None
    if batch != 2 or sequence != 77:
        bundle_json = {"inputs": {"sample": [batch, model.config.in_channels, size, size],
                                  "timestep": [batch],
                                  "encoder_hidden_states": [batch, channels, 1, sequence]}}
    save_bundle(directory / f"{name}.model", config, model.state_dict(), dtype_name,
                bundle_json=bundle_json)
    generator = torch.Generator().manual_seed(seed + 1)
    sample = torch.randn((batch, model.config.in_channels, size, size), generator=generator)
    states = torch.randn((batch, sequence, channels), generator=generator)
    timestep = torch.tensor(timesteps, dtype=torch.float32)
    with torch.no_grad():
        noise = model(sample, timestep, encoder_hidden_states=states).sample
    save_fixture(directory / f"{name}.fixture.safetensors",
                 {"sample": sample, "timestep": timestep,
                  "encoder_hidden_states": states.permute(0, 2, 1)[:, :, None, :],
                  "noise_pred": noise})
    return model


# StableDiffusionSafetyChecker ----------------------------------------------------------

# What a special-care match adds to the later scores (diffusers' constant).
SPECIAL_CARE_ADJUSTMENT = 0.01
# CLIP's image normalisation, as the pipeline's safety check applies it.
CLIP_MEAN = (0.485, 0.456, 0.406)
CLIP_STD = (0.229, 0.224, 0.225)


def safety_scores(special_cos, cos, special_thresholds, concept_thresholds, adjustment):
    """diffusers' StableDiffusionSafetyChecker.forward for one image, with its adjustment
    starting at `adjustment` (the bundle's input) instead of 0.0. Returns the verdict and the
    unrounded special and concept scores; the verdict tests scores rounded to 3 decimals."""
    special_scores = []
    for k in range(len(special_cos)):
        score = float(special_cos[k]) - float(special_thresholds[k]) + adjustment
        special_scores.append(score)
        if round(score, 3) > 0:
            adjustment = SPECIAL_CARE_ADJUSTMENT
    concept_scores = [float(cos[j]) - float(concept_thresholds[j]) + adjustment
                      for j in range(len(cos))]
    unsafe = any(round(score, 3) > 0 for score in concept_scores)
    return unsafe, special_scores, concept_scores


def safety_case(special_cos, cos, special_thresholds, concept_thresholds, adjustment):
    """What one image exercises: (unsafe, special care, unsafe only through the special-care
    adjustment), and the smallest distance of a score from its decision boundary."""
    unsafe, special, concepts = safety_scores(special_cos, cos, special_thresholds,
                                              concept_thresholds, adjustment)
    special_care = any(round(score, 3) > 0 for score in special)
    raw = [float(cos[j]) - float(concept_thresholds[j]) for j in range(len(cos))]
    through_adjustment = special_care and unsafe and max(raw) < 0
    margin = min(abs(score - 0.0005) for score in special + concepts)
    return (unsafe, special_care, through_adjustment), margin


def choose_safety_thresholds(special_cos, cos, adjustments, pair, seed):
    """Thresholds (rounded to F16) under which the images cover every path of the verdict:
    safe; unsafe without special care; unsafe only through the special-care adjustment;
    special care and still safe; and, for the `pair` of entries that differ only in their
    adjustment input, special care and the verdict changed by that input. Every score keeps
    1e-3 from its decision boundary, far beyond float32 differences."""
    rng = np.random.default_rng(seed)
    count = cos.shape[0]

    def propose(values):
        # Half the concepts near some image's similarity, the others above every image's.
        high = values.max(axis=0)
        near = values[rng.integers(count, size=values.shape[1]), np.arange(values.shape[1])]
        active = rng.random(values.shape[1]) < 0.5
        proposal = np.where(active, near + rng.uniform(-0.02, 0.02, values.shape[1]),
                            high + rng.uniform(0.02, 0.3, values.shape[1]))
        return proposal.astype(np.float16).astype(np.float32)

    for _ in range(200000):
        special_thresholds, concept_thresholds = propose(special_cos), propose(cos)
        cases = [safety_case(special_cos[i], cos[i], special_thresholds, concept_thresholds,
                             adjustments[i]) for i in range(count)]
        if min(margin for _, margin in cases) < 1e-3:
            continue
        kinds = [case for case, _ in cases]
        first, second = kinds[pair[0]], kinds[pair[1]]
        if (any(k == (False, False, False) for k in kinds)
                and any(k == (True, False, False) for k in kinds)
                and any(k == (True, True, True) for k in kinds)
                and any(k == (False, True, False) for k in kinds)
                and not first[1] and second[1] and first[0] != second[0]):
            return special_thresholds, concept_thresholds
    raise SystemExit("no safety thresholds cover every case; try another seed")


def write_safety_checker(directory, name, dtype_name, seed):
    """A tiny StableDiffusionSafetyChecker with a hub-style CLIPConfig, run on 8-bit images
    normalised as the pipeline's safety check does, with thresholds chosen so that the images
    take every path of the verdict."""
    from diffusers.pipelines.stable_diffusion.safety_checker import (
        StableDiffusionSafetyChecker, cosine_distance)
    from transformers import CLIPConfig, CLIPVisionConfig

    # A remainder of 2 pixels beyond 5 patches of 6, which the strided convolution drops.
    vision = dict(hidden_size=32, intermediate_size=64, num_attention_heads=4,
                  num_hidden_layers=2, patch_size=6, image_size=32)
    # As on the hub: the whole vision config, and the keys that differ from the defaults in
    # "vision_config_dict", which transformers reads in preference (a stale layer count in
    # "vision_config" must be ignored).
    full_vision = CLIPVisionConfig(**dict(vision, num_hidden_layers=3)).to_dict()
    hub_config = {"architectures": ["StableDiffusionSafetyChecker"], "model_type": "clip",
                  "projection_dim": 16, "initializer_factor": 1.0,
                  "logit_scale_init_value": 2.6592,
                  "text_config_dict": {"hidden_size": 24, "intermediate_size": 48,
                                       "num_attention_heads": 4, "num_hidden_layers": 1},
                  "vision_config": full_vision, "vision_config_dict": vision}
    config = CLIPConfig.from_dict(json.loads(json.dumps(hub_config)))
    assert config.vision_config.num_hidden_layers == 2
    model = StableDiffusionSafetyChecker(config).eval()
    randomize(model, seed)
    round_to(model, dtype_name)

    size = vision["image_size"]
    generator = torch.Generator().manual_seed(seed + 1)
    pixels = torch.randint(0, 256, (6, size, size, 3), generator=generator, dtype=torch.uint8)
    # A smooth image beside the noise, for embeddings further apart.
    ramp = torch.linspace(0, 255, size)
    pixels[1] = torch.stack([ramp[None, :].expand(size, size), ramp[:, None].expand(size, size),
                             torch.full((size, size), 40.0)], dim=-1).to(torch.uint8)
    # The last image again, given an adjustment of 0.05.
    pixels = torch.cat([pixels, pixels[-1:]])
    adjustments = [0.0] * 6 + [float(np.float32(0.05))]
    unit = pixels.permute(0, 3, 1, 2).to(torch.float32) / 255.0
    clip_input = ((unit - torch.tensor(CLIP_MEAN)[None, :, None, None])
                  / torch.tensor(CLIP_STD)[None, :, None, None])

    with torch.no_grad():
        embeds = model.visual_projection(model.vision_model(clip_input)[1])
        special_cos = cosine_distance(embeds, model.special_care_embeds).numpy()
        cos = cosine_distance(embeds, model.concept_embeds).numpy()
    special_thresholds, concept_thresholds = choose_safety_thresholds(
        special_cos, cos, adjustments, (5, 6), seed)
    with torch.no_grad():
        model.special_care_embeds_weights.copy_(torch.from_numpy(special_thresholds))
        model.concept_embeds_weights.copy_(torch.from_numpy(concept_thresholds))

    results = [safety_scores(special_cos[i], cos[i], model.special_care_embeds_weights.tolist(),
                             model.concept_embeds_weights.tolist(), adjustments[i])
               for i in range(len(adjustments))]
    # diffusers itself, for the images it scores with no adjustment.
    _, reference = model(clip_input=clip_input, images=np.zeros((len(adjustments), 4, 4, 3)))
    for i, adjustment in enumerate(adjustments):
        if adjustment == 0.0:
            assert reference[i] == results[i][0], i

    positions = config.vision_config.image_size // config.vision_config.patch_size
    extra = {"vision_model.vision_model.embeddings.position_ids":
             torch.arange(positions * positions + 1, dtype=torch.int64)[None]}
    save_bundle(directory / f"{name}.model", hub_config, model.state_dict(), dtype_name,
                extra=extra)
    save_fixture(directory / f"{name}.fixture.safetensors", {
        "pixels": pixels.to(torch.float32),
        "clip_input": clip_input,
        "adjustment": torch.tensor(adjustments),
        "has_nsfw_concepts": torch.tensor([float(r[0]) for r in results]),
        "special_scores": torch.tensor([r[1] for r in results]),
        "concept_scores": torch.tensor([r[2] for r in results]),
    })
    print(f"{name}: verdicts {[int(r[0]) for r in results]}")
    return model


# ControlNetModel and the controlled denoising network ------------------------------------


def down_residual_name(index):
    return f"down_block_residual_{index}"


MID_RESIDUAL_NAME = "mid_block_residual"


def write_controlnet(directory, unet_overrides, controlnet_overrides, dtype_name, timesteps,
                     seed):
    """A tiny ControlNet and the denoising network it controls, both with every parameter
    random (the zero-initialised output convolutions included), and settings away from
    their defaults. The ControlNet's fixture holds its residuals under the names the
    controlled network takes them; the controlled network's fixture holds those residuals
    as inputs and its noise prediction. The controlled network is saved as
    ControlledUnet.model, the name that gives it its residual inputs."""
    from diffusers import ControlNetModel, UNet2DConditionModel

    unet = UNet2DConditionModel(**unet_overrides).eval()
    randomize(unet, seed)
    round_to(unet, dtype_name)
    controlnet = ControlNetModel.from_unet(unet, **controlnet_overrides).eval()
    randomize(controlnet, seed + 1)
    round_to(controlnet, dtype_name)

    save_bundle(directory / "ControlledUnet.model", hub_vae_config(unet), unet.state_dict(),
                dtype_name)
    batch = 2
    size = unet.config.sample_size
    scale = 2 ** (len(controlnet.config.conditioning_embedding_out_channels) - 1)
    # A ControlNet's configuration has no sample size (the runtime assumes SD 1.5's 64):
    # bundle.json gives the tiny one's.
    channels = unet.config.cross_attention_dim
    save_bundle(directory / "ControlNet.model", hub_vae_config(controlnet),
                controlnet.state_dict(), dtype_name,
                bundle_json={"inputs": {
                    "sample": [batch, unet.config.in_channels, size, size],
                    "timestep": [batch],
                    "encoder_hidden_states": [batch, channels, 1, 77],
                    "controlnet_cond": [batch, controlnet.config.conditioning_channels,
                                        size * scale, size * scale]}})

    generator = torch.Generator().manual_seed(seed + 2)
    sample = torch.randn((batch, unet.config.in_channels, size, size), generator=generator)
    states = torch.randn((batch, 77, unet.config.cross_attention_dim), generator=generator)
    image = torch.rand((batch, controlnet.config.conditioning_channels, size * scale,
                        size * scale), generator=generator)
    timestep = torch.tensor(timesteps, dtype=torch.float32)
    with torch.no_grad():
        down, mid = controlnet(sample, timestep, encoder_hidden_states=states,
                               controlnet_cond=image, return_dict=False)
        noise = unet(sample, timestep, encoder_hidden_states=states,
                     down_block_additional_residuals=down,
                     mid_block_additional_residual=mid).sample
    inputs = {"sample": sample, "timestep": timestep,
              "encoder_hidden_states": states.permute(0, 2, 1)[:, :, None, :]}
    residuals = {down_residual_name(i): value for i, value in enumerate(down)}
    residuals[MID_RESIDUAL_NAME] = mid
    save_fixture(directory / "ControlNet.fixture.safetensors",
                 dict(inputs, controlnet_cond=image, **residuals))
    save_fixture(directory / "ControlledUnet.fixture.safetensors",
                 dict(inputs, noise_pred=noise, **residuals))


def write_xl_unet(directory, name, overrides, dtype_name, sequence, time_ids, timesteps, seed):
    """A tiny XL denoising network ("text_time" addition embedding) for the guidance batch of
    2; `time_ids` holds one row per image. bundle.json fixes the text positions; the engine
    infers the shapes of "text_embeds" and "time_ids" from the config."""
    from diffusers import UNet2DConditionModel

    model = UNet2DConditionModel(**overrides).eval()
    randomize(model, seed)
    round_to(model, dtype_name)
    config = hub_vae_config(model)
    size = model.config.sample_size
    channels = model.config.cross_attention_dim
    count = len(time_ids[0])
    text_width = model.config.projection_class_embeddings_input_dim - \
        count * model.config.addition_time_embed_dim
    bundle_json = {"inputs": {"sample": [2, model.config.in_channels, size, size],
                              "timestep": [2],
                              "encoder_hidden_states": [2, channels, 1, sequence]}}
    save_bundle(directory / f"{name}.model", config, model.state_dict(), dtype_name,
                bundle_json=bundle_json)
    generator = torch.Generator().manual_seed(seed + 1)
    sample = torch.randn((2, model.config.in_channels, size, size), generator=generator)
    states = torch.randn((2, sequence, channels), generator=generator)
    text_embeds = torch.randn((2, text_width), generator=generator)
    time_ids_tensor = torch.tensor(time_ids, dtype=torch.float32)
    timestep = torch.tensor(timesteps, dtype=torch.float32)
    with torch.no_grad():
        noise = model(sample, timestep, encoder_hidden_states=states,
                      added_cond_kwargs={"text_embeds": text_embeds,
                                         "time_ids": time_ids_tensor}).sample
    save_fixture(directory / f"{name}.fixture.safetensors",
                 {"sample": sample, "timestep": timestep,
                  "encoder_hidden_states": states.permute(0, 2, 1)[:, :, None, :],
                  "text_embeds": text_embeds, "time_ids": time_ids_tensor,
                  "noise_pred": noise})
    return model


def write_xl_conditioning(directory):
    """The conditioning diffusers' SDXL pipeline builds from the two text encoders of the
    fixtures (hidden states entering the last layer joined on the channel axis, the pooled
    embedding from the second encoder) for prompts in the tiny vocabulary's characters, written
    with the tokenizer files both encoders share."""
    from diffusers import StableDiffusionXLPipeline
    from transformers import (CLIPTextModel, CLIPTextModelWithProjection, CLIPTokenizer)

    folder = directory / "XLConditioning"
    folder.mkdir(parents=True, exist_ok=True)
    # Every printable character alone and word-final, start and end tokens: the vocabulary
    # dravelin-make-model writes for its tiny models.
    vocabulary = {}
    for code in range(ord("!"), ord("~") + 1):
        vocabulary[chr(code)] = len(vocabulary)
        vocabulary[chr(code) + "</w>"] = len(vocabulary)
    vocabulary["<|startoftext|>"] = len(vocabulary)
    vocabulary["<|endoftext|>"] = len(vocabulary)
    (folder / "vocab.json").write_text(json.dumps(vocabulary))
    (folder / "merges.txt").write_text("#version: 0.2\n")
    size = len(vocabulary)
    tiny = dict(vocab_size=size, hidden_size=32, intermediate_size=64, num_hidden_layers=2,
                num_attention_heads=4, max_position_embeddings=16,
                bos_token_id=size - 2, pad_token_id=1)
    first = CLIPTextModel(clip_text_config(dict(tiny, eos_token_id=2))).eval()
    second = CLIPTextModelWithProjection(clip_text_config(
        dict(tiny, hidden_size=24, num_attention_heads=3, eos_token_id=2, hidden_act="gelu",
             projection_dim=20))).eval()
    for index, (model, bundle) in enumerate(((first, "TextEncoder"), (second, "TextEncoder2"))):
        randomize(model, 41 + index)
        round_to(model, "F16")
        hub_config = json.loads(model.config.to_json_string(use_diff=True))
        hub_config["architectures"] = [type(model).__name__]
        save_bundle(folder / f"{bundle}.model", hub_config, model.state_dict(), "F16")
    tokenizer = CLIPTokenizer(str(folder / "vocab.json"), str(folder / "merges.txt"),
                              pad_token="<|endoftext|>", model_max_length=16)
    tokenizer_2 = CLIPTokenizer(str(folder / "vocab.json"), str(folder / "merges.txt"),
                                pad_token="!", model_max_length=16)

    def encode(text_encoder, tokenizer_1):
        # encode_prompt needs only the encoders and tokenizers of a pipeline.
        pipeline = StableDiffusionXLPipeline.__new__(StableDiffusionXLPipeline)
        pipeline.__dict__.update(text_encoder=text_encoder, text_encoder_2=second,
                                 tokenizer=tokenizer_1, tokenizer_2=tokenizer_2)
        with torch.no_grad():
            return pipeline.encode_prompt("a cat", device=torch.device("cpu"),
                                          do_classifier_free_guidance=True,
                                          negative_prompt="dog")

    embeds, negative, pooled, negative_pooled = encode(first, tokenizer)
    refiner, refiner_negative, refiner_pooled, refiner_negative_pooled = encode(None, None)
    save_fixture(directory / "XLConditioning.fixture.safetensors",
                 {"hidden_states": torch.cat([negative, embeds]),
                  "pooled_states": torch.cat([negative_pooled, pooled]),
                  "refiner_hidden_states": torch.cat([refiner_negative, refiner]),
                  "refiner_pooled_states": torch.cat([refiner_negative_pooled, refiner_pooled])})


# Commands -----------------------------------------------------------------------------


def write_fixtures(out):
    out.mkdir(parents=True, exist_ok=True)
    tiny_clip = dict(vocab_size=128, hidden_size=32, intermediate_size=64, num_hidden_layers=2,
                     num_attention_heads=4, max_position_embeddings=16, bos_token_id=126,
                     pad_token_id=1)
    # SD 1.5's configuration records eos_token_id 2 (pooling then takes the highest id, the
    # end token); its padding repeats the end token. hidden_act and layer_norm_eps are left
    # out, as older files do, so the defaults (quick_gelu, 1e-5) apply.
    write_clip(out, "TextEncoder", False, dict(tiny_clip, eos_token_id=2), "F16",
               [126, 17, 5, 99, 40, 127] + [127] * 10, seed=11,
               drop_keys=("hidden_act", "layer_norm_eps"))
    # An SDXL-style second encoder: erf GELU, the real end token id, padding with id 0,
    # a projection, BF16 weights.
    write_clip(out, "TextEncoder2", True,
               dict(tiny_clip, eos_token_id=127, hidden_act="gelu", projection_dim=24,
                    layer_norm_eps=1e-5),
               "BF16", [126, 3, 4, 127] + [0] * 12, seed=12)

    tiny_vae = dict(block_out_channels=[8, 16], norm_num_groups=4,
                    down_block_types=["DownEncoderBlock2D"] * 2,
                    up_block_types=["UpDecoderBlock2D"] * 2, sample_size=32)
    # Keys at their defaults are left out of this one, as in files of older versions.
    write_vae_decoder(out, "VAEDecoder", tiny_vae, "F16", (1, 4, 16, 16), seed=21,
                      drop_keys=("act_fn", "in_channels", "out_channels", "latent_channels",
                                 "layers_per_block", "force_upcast", "scaling_factor"))
    # Three blocks, two ResNet layers each, a non-square image given by bundle.json, and
    # F32 weights.
    write_vae_encoder(out, "VAEEncoder",
                      dict(block_out_channels=[8, 16, 16], norm_num_groups=4, layers_per_block=2,
                           down_block_types=["DownEncoderBlock2D"] * 3,
                           up_block_types=["UpDecoderBlock2D"] * 3, sample_size=32),
                      "F16", (1, 3, 24, 40), seed=22)
    # SD 1.x-style denoising networks. One layer per block, 1×1 convolution projections, a
    # config with only the keys SD 1.5's file has, less some at their defaults.
    write_unet(out, "UNet", dict(block_out_channels=[8, 16], layers_per_block=1,
                                 attention_head_dim=2, cross_attention_dim=8, norm_num_groups=4,
                                 sample_size=8,
                                 down_block_types=["CrossAttnDownBlock2D", "DownBlock2D"],
                                 up_block_types=["UpBlock2D", "CrossAttnUpBlock2D"]),
               "F16", 2, 77, [981.0, 37.5], seed=31, keep_keys=SD15_UNET_KEYS,
               drop_keys=("act_fn", "flip_sin_to_cos", "freq_shift", "norm_eps"))
    # Two layers per block, three blocks, heads per block, linear projections (as SD 2.x),
    # and a batch of 1 with 9 text positions given by bundle.json.
    write_unet(out, "UNet2", dict(block_out_channels=[4, 8, 8], layers_per_block=2,
                                  attention_head_dim=[1, 2, 4], cross_attention_dim=12,
                                  norm_num_groups=4, sample_size=16, use_linear_projection=True,
                                  down_block_types=["CrossAttnDownBlock2D"] * 2 + ["DownBlock2D"],
                                  up_block_types=["UpBlock2D"] + ["CrossAttnUpBlock2D"] * 2),
               "F16", 1, 9, [500.0], seed=32)
    # The safety checker: CLIP vision tower, projection, concept thresholds.
    write_safety_checker(out, "SafetyChecker", "F16", seed=41)
    # A ControlNet beside the network it controls: two layers per block, a three-stage
    # conditioning embedding (an image 4× the sample), and the time and norm settings away
    # from their defaults.
    write_controlnet(out, dict(block_out_channels=[8, 16, 16], layers_per_block=2,
                               attention_head_dim=[2, 4, 4], cross_attention_dim=8,
                               norm_num_groups=4, norm_eps=1e-3, sample_size=8,
                               flip_sin_to_cos=False, freq_shift=1,
                               down_block_types=["CrossAttnDownBlock2D"] * 2 + ["DownBlock2D"],
                               up_block_types=["UpBlock2D"] + ["CrossAttnUpBlock2D"] * 2),
                     dict(conditioning_embedding_out_channels=(4, 6, 8)),
                     "F16", [981.0, 37.5], seed=41)
    write_tiny_autoencoders(out)
    # XL denoising networks: the first block without attention, several transformer layers
    # per block, linear projections, the "text_time" addition embedding with 6 time ids; the
    # sinusoids' constants off their defaults (cosines second, a frequency shift).
    write_xl_unet(out, "UNetXL",
                  dict(block_out_channels=[4, 8, 8], layers_per_block=1,
                       attention_head_dim=[1, 2, 4], cross_attention_dim=12, norm_num_groups=2,
                       sample_size=8, use_linear_projection=True,
                       transformer_layers_per_block=[1, 2, 3],
                       down_block_types=["DownBlock2D"] + ["CrossAttnDownBlock2D"] * 2,
                       up_block_types=["CrossAttnUpBlock2D"] * 2 + ["UpBlock2D"],
                       addition_embed_type="text_time", addition_time_embed_dim=8,
                       projection_class_embeddings_input_dim=10 + 6 * 8,
                       flip_sin_to_cos=False, freq_shift=1),
                  "F16", 9, [[1024.0, 768.0, 0.0, 16.0, 1024.0, 1024.0],
                             [1024.0, 768.0, 0.0, 16.0, 1024.0, 1024.0]],
                  [981.0, 37.5], seed=33)
    # The refiner's shape: 5 time ids (aesthetic score last) inferred from the config, as wide
    # a pooled embedding as text states, transformer_layers_per_block as one number, attention
    # only in the middle blocks.
    write_xl_unet(out, "UNetXLRefiner",
                  dict(block_out_channels=[4, 8, 8], layers_per_block=2,
                       attention_head_dim=[2, 2, 4], cross_attention_dim=12, norm_num_groups=2,
                       sample_size=8, use_linear_projection=True, transformer_layers_per_block=2,
                       down_block_types=["DownBlock2D", "CrossAttnDownBlock2D", "DownBlock2D"],
                       up_block_types=["UpBlock2D", "CrossAttnUpBlock2D", "UpBlock2D"],
                       addition_embed_type="text_time", addition_time_embed_dim=4,
                       projection_class_embeddings_input_dim=12 + 5 * 4),
                  "F16", 9, [[1024.0, 1024.0, 0.0, 0.0, 2.5], [1024.0, 1024.0, 0.0, 0.0, 6.0]],
                  [500.0, 500.0], seed=34)
    write_xl_conditioning(out)
    total = sum(path.stat().st_size for path in out.rglob("*") if path.is_file())
    print(f"wrote fixtures to {out} ({total / 1000:.0f} kB)")


SD15_TEXT_ENCODER = {
    "architectures": ["CLIPTextModel"], "attention_dropout": 0.0, "bos_token_id": 0,
    "dropout": 0.0, "eos_token_id": 2, "hidden_act": "quick_gelu", "hidden_size": 768,
    "initializer_factor": 1.0, "initializer_range": 0.02, "intermediate_size": 3072,
    "layer_norm_eps": 1e-05, "max_position_embeddings": 77, "model_type": "clip_text_model",
    "num_attention_heads": 12, "num_hidden_layers": 12, "pad_token_id": 1,
    "projection_dim": 768, "torch_dtype": "float32", "vocab_size": 49408,
}

SD15_VAE = {
    "_class_name": "AutoencoderKL", "_diffusers_version": "0.6.0", "act_fn": "silu",
    "block_out_channels": [128, 256, 512, 512],
    "down_block_types": ["DownEncoderBlock2D"] * 4, "in_channels": 3, "latent_channels": 4,
    "layers_per_block": 2, "norm_num_groups": 32, "out_channels": 3, "sample_size": 512,
    "up_block_types": ["UpDecoderBlock2D"] * 4,
}


SD15_UNET = {
    "_class_name": "UNet2DConditionModel", "_diffusers_version": "0.6.0", "act_fn": "silu",
    "attention_head_dim": 8, "block_out_channels": [320, 640, 1280, 1280],
    "center_input_sample": False, "cross_attention_dim": 768,
    "down_block_types": ["CrossAttnDownBlock2D"] * 3 + ["DownBlock2D"],
    "downsample_padding": 1, "flip_sin_to_cos": True, "freq_shift": 0, "in_channels": 4,
    "layers_per_block": 2, "mid_block_scale_factor": 1, "norm_eps": 1e-05,
    "norm_num_groups": 32, "out_channels": 4, "sample_size": 64,
    "up_block_types": ["UpBlock2D"] + ["CrossAttnUpBlock2D"] * 3,
}


def write_full_size_unet(out, with_outputs):
    from diffusers import UNet2DConditionModel

    arguments = {k: v for k, v in SD15_UNET.items() if not k.startswith("_")}
    unet = UNet2DConditionModel(**arguments).eval()
    round_to(unet, "F16")
    save_bundle(out / "Unet.model", SD15_UNET, unet.state_dict(), "F16")
    if with_outputs:
        generator = torch.Generator().manual_seed(6)
        sample = torch.randn((2, 4, 64, 64), generator=generator)
        states = torch.randn((2, 77, 768), generator=generator)
        timestep = torch.tensor([999.0, 1.0])
        with torch.no_grad():
            noise = unet(sample, timestep, encoder_hidden_states=states).sample
        save_fixture(out / "Unet.fixture.safetensors",
                     {"sample": sample, "timestep": timestep,
                      "encoder_hidden_states": states.permute(0, 2, 1)[:, :, None, :],
                      "noise_pred": noise})


# As the hub publishes SD 1.5's safety checker: transformers reads the vision tower from
# "vision_config_dict" (the keys that differ from CLIPVisionConfig's defaults).
SD15_SAFETY_CHECKER = {
    "_name_or_path": "CompVis/stable-diffusion-safety-checker",
    "architectures": ["StableDiffusionSafetyChecker"], "initializer_factor": 1.0,
    "logit_scale_init_value": 2.6592, "model_type": "clip", "projection_dim": 768,
    "text_config_dict": {"hidden_size": 768, "intermediate_size": 3072,
                         "num_attention_heads": 12, "num_hidden_layers": 12},
    "torch_dtype": "float32",
    "vision_config_dict": {"hidden_size": 1024, "intermediate_size": 4096,
                           "num_attention_heads": 16, "num_hidden_layers": 24, "patch_size": 14},
}


def write_full_size_safety_checker(out, with_outputs):
    from diffusers.pipelines.stable_diffusion.safety_checker import StableDiffusionSafetyChecker
    from transformers import CLIPConfig

    config = CLIPConfig.from_dict(json.loads(json.dumps(SD15_SAFETY_CHECKER)))
    model = StableDiffusionSafetyChecker(config).eval()
    # The library starts every concept at ones; random ones tell the concepts apart, and
    # thresholds of 0 make special care and flagging likely.
    generator = torch.Generator().manual_seed(7)
    with torch.no_grad():
        for embeds in (model.concept_embeds, model.special_care_embeds):
            embeds.copy_(torch.randn(embeds.shape, generator=generator))
        model.concept_embeds_weights.zero_()
        model.special_care_embeds_weights.zero_()
    round_to(model, "F16")
    save_bundle(out / "SafetyChecker.model", SD15_SAFETY_CHECKER, model.state_dict(), "F16")
    if with_outputs:
        pixels = torch.randint(0, 256, (1, 224, 224, 3), generator=generator).to(torch.float32)
        unit = pixels.permute(0, 3, 1, 2) / 255.0
        clip_input = ((unit - torch.tensor(CLIP_MEAN)[None, :, None, None])
                      / torch.tensor(CLIP_STD)[None, :, None, None])
        with torch.no_grad():
            from diffusers.pipelines.stable_diffusion.safety_checker import cosine_distance
            embeds = model.visual_projection(model.vision_model(clip_input)[1])
            special_cos = cosine_distance(embeds, model.special_care_embeds).numpy()[0]
            cos = cosine_distance(embeds, model.concept_embeds).numpy()[0]
            _, verdict = model(clip_input=clip_input, images=np.zeros((1, 4, 4, 3)))
        unsafe, special, concepts = safety_scores(
            special_cos, cos, model.special_care_embeds_weights.tolist(),
            model.concept_embeds_weights.tolist(), 0.0)
        assert unsafe == verdict[0]
        save_fixture(out / "SafetyChecker.fixture.safetensors", {
            "clip_input": clip_input, "adjustment": torch.zeros(1),
            "has_nsfw_concepts": torch.tensor([float(unsafe)]),
            "special_scores": torch.tensor([special]), "concept_scores": torch.tensor([concepts]),
        })


def write_full_size(out, with_outputs, networks):
    from diffusers import AutoencoderKL
    from transformers import CLIPTextModel

    out.mkdir(parents=True, exist_ok=True)
    if "unet" in networks:
        write_full_size_unet(out, with_outputs)
    if "safety" in networks:
        write_full_size_safety_checker(out, with_outputs)
    fixtures = {}
    if "text" not in networks and "vae" not in networks:
        print(f"wrote full-size models to {out}")
        return

    if "text" not in networks or "vae" not in networks:
        raise SystemExit("--networks: the text encoder and the VAE are written together")
    text_config = {k: v for k, v in SD15_TEXT_ENCODER.items() if k != "architectures"}
    text = CLIPTextModel(clip_text_config(text_config)).eval()
    round_to(text, "F16")
    save_bundle(out / "TextEncoder.model", SD15_TEXT_ENCODER, text.state_dict(), "F16")
    if with_outputs:
        ids = torch.tensor([[49406, 320, 1125, 539, 320, 2368, 49407] + [49407] * 70])
        fixtures["TextEncoder"] = {"input_ids": ids.to(torch.float32),
                                   **clip_outputs(text, ids)}
    del text

    vae_arguments = {k: v for k, v in SD15_VAE.items() if not k.startswith("_")}
    vae = AutoencoderKL(**vae_arguments).eval()
    round_to(vae, "F16")
    state = vae.state_dict()
    # The whole hub file goes into both bundles, as the model store installs it.
    save_bundle(out / "VAEDecoder.model", SD15_VAE, state, "F16")
    save_bundle(out / "VAEEncoder.model", SD15_VAE, state, "F16")
    if with_outputs:
        generator = torch.Generator().manual_seed(5)
        z = torch.randn((1, 4, 64, 64), generator=generator)
        x = torch.rand((1, 3, 512, 512), generator=generator) * 2 - 1
        with torch.no_grad():
            fixtures["VAEDecoder"] = {"z": z, "image": vae.decoder(vae.post_quant_conv(z))}
            fixtures["VAEEncoder"] = {"x": x, "moments": vae.quant_conv(vae.encoder(x))}
    for name, arrays in fixtures.items():
        save_fixture(out / f"{name}.fixture.safetensors", arrays)
    print(f"wrote full-size models to {out}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    fixtures = commands.add_parser("fixtures", help="tiny models and fixtures for the tests")
    fixtures.add_argument("--out", type=pathlib.Path,
                          default=pathlib.Path(__file__).resolve().parents[2] / "tests/nn/fixtures")
    full = commands.add_parser("full-size", help="SD 1.5 configurations with random weights")
    full.add_argument("--out", type=pathlib.Path, required=True)
    full.add_argument("--outputs", action="store_true",
                      help="also run the reference on them (a few minutes)")
    full.add_argument("--networks", default="text,vae,unet,safety",
                      help="comma-separated: text,vae (together), unet and safety")
    arguments = parser.parse_args(argv)
    torch.manual_seed(0)
    np.random.seed(0)
    if arguments.command == "fixtures":
        write_fixtures(arguments.out)
    else:
        write_full_size(arguments.out, arguments.outputs, arguments.networks.split(","))


if __name__ == "__main__":
    main(sys.argv[1:])
